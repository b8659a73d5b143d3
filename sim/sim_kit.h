// The simulated Kit: a board model behind a virtual HID device and a virtual serial port.
// Tests and palvex-sim plug and unplug either side, hold the board silent and make it send
// bytes of its own accord. All members are safe to call from any thread.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/hid_device.h"
#include "platform/serial_port.h"
#include "sim/board_model.h"

namespace sim {
// What opening a COM port meets besides the Kit's own line: nothing in the way, another
// program holding it, or a node the user may not open.
enum class PortFault { NONE, BUSY, DENIED };
class CSimState;
class CSimHidSystem;
class CSimSerialPorts;
}  // namespace sim

// The board starts unplugged and disconnected, not silent, LED stopped, version "K1.07".
// Handles and ports it gave out may outlive it; they then fail like unplugged devices.
class CSimKit {
  public:
    CSimKit();
    virtual ~CSimKit();
    CSimKit(const CSimKit&) = delete;
    CSimKit& operator=(const CSimKit&) = delete;

    // The two platform backends the program runs on. In SerialPorts(), "COM1" is the Kit's
    // line and "COM2" to "COM4" do not exist (their open fails with the OS's ENOENT text).
    // Hid() lists a keyboard and another product of the Kit's vendor before the Kit, which
    // is present only while plugged. Each open Kit handle gets every input report, in a
    // queue of its own that holds 64 reports and drops newer ones beyond that, as the
    // kernel's hidraw does.
    platform::IHidSystem& Hid();
    platform::ISerialPorts& SerialPorts();

    // Plugging and unplugging. An unplug fails pending and later reads and writes on open
    // handles, as a real disconnect does; a replug needs a new open. A serial disconnect
    // hangs up the open port as an unplugged adapter does: it fails with the OS's EIO text
    // and reports Gone() from then on, also after the line is connected again; only Close
    // is left to it, and the returning line opens as "COM1" again.
    void PlugUsb(bool plugged);
    bool UsbPlugged() const;
    void ConnectSerial(bool connected);
    bool SerialConnected() const;
    // Without access the Kit's node is listed but opening it fails with EACCES, as on a
    // desktop without the udev rule.
    void SetUsbAccessDenied(bool denied);
    bool UsbAccessDenied() const;
    // A board that stops reading its OUT endpoint: the host queues 4 more output reports,
    // then each write blocks about 5 s and fails with ETIMEDOUT, as in the kernel. Reading
    // again, the board takes the queued reports in order; an unplug loses them.
    void SetOutStalled(bool stalled);
    bool OutStalled() const;
    // A silent board answers nothing (no version, no close answer, no echo).
    void SetSilent(bool silent);
    bool Silent() const;
    // An odd answer to the version request only (short, long or none); see VersionReply.
    void SetVersionReply(sim::VersionReply reply);
    sim::VersionReply GetVersionReply() const;
    // Makes a COM port busy (another program holds it) or locked (EACCES), whether or not
    // anything is behind it; NONE gives it back to what it is ("COM1" the Kit's line, the
    // others missing). Takes effect at the next open.
    void SetPortFault(const std::string& portName, sim::PortFault fault);
    sim::PortFault GetPortFault(const std::string& portName) const;

    // The board sends bytes of its own accord: over USB as input reports of up to 7 payload
    // bytes, or on the serial line (lost while no port is open).
    void SendUsb(const std::vector<uint8_t>& bytes);
    void SendSerial(const std::vector<uint8_t>& bytes);
    // Paced (the default), SendUsb waits, at most 2 s per call, until every handle that is
    // being read has room for the next report, so a reader that keeps up loses nothing.
    // Unpaced, it sends at once and full queues drop reports. Answers never wait.
    void SetPacedUsb(bool paced);

    // What the board has seen and holds, for tests and the sim window.
    bool LedFlashing() const;
    std::string Version() const;  // the 5 characters it answers a version request with
    void SetVersion(const std::string& version);
    // Every output report written and every byte written on the line (the latest 65536
    // reports and 1 MiB, so endless traffic keeps memory bounded).
    std::vector<std::vector<uint8_t>> OutputReports() const;
    std::vector<uint8_t> SerialReceived() const;
    // The latest user data the board took, at most maxBytes: the payloads of its data
    // reports over USB, every byte on the serial line.
    std::vector<uint8_t> UsbDataTail(size_t maxBytes) const;
    std::vector<uint8_t> SerialTail(size_t maxBytes) const;
    // The latest commands it took (version request, LED, close), the oldest first.
    std::vector<sim::Taken> Commands() const;
    int VersionRequests() const;
    int CloseCommands() const;
    // Input reports dropped on full queues of handles that are being read, and bytes
    // dropped on a full line buffer (4096): 0 when the host keeps up.
    int DroppedInputReports() const;
    int DroppedSerialBytes() const;
    // HID handles opened on any of the virtual devices and not yet closed.
    int OpenHidHandles() const;
    // The line settings last set on the open port.
    platform::SerialLineState SerialLine() const;
    // Called (on any thread, never under the sim's own lock) after any change of the above
    // and after the board sent bytes of its own accord; the sim window repaints on it. When
    // SetObserver returns, the old observer is no longer running on another thread, so an
    // observer must not block on the thread that replaces it.
    void SetObserver(std::function<void()> observer);

  private:
    const std::shared_ptr<sim::CSimState> state;
    const std::unique_ptr<sim::CSimHidSystem> hid;
    const std::unique_ptr<sim::CSimSerialPorts> serialPorts;
};
