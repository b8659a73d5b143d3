// The simulated Kit: a board model behind a virtual HID device and a virtual serial port.
// Tests and palvex-sim plug and unplug either side, hold the board silent and make it send
// bytes of its own accord. All members are safe to call from any thread.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "platform/hid_device.h"
#include "platform/serial_port.h"

class CSimKit {
public:
    CSimKit();
    virtual ~CSimKit();
    CSimKit(const CSimKit&) = delete;
    CSimKit& operator=(const CSimKit&) = delete;

    // The two platform backends the program runs on. In SerialPorts(), "COM1" is the Kit's
    // line and "COM2" to "COM4" do not exist (their open fails with the OS's ENOENT text).
    platform::IHidSystem& Hid();
    platform::ISerialPorts& SerialPorts();

    // Plugging and unplugging. An unplug fails pending and later reads and writes on open
    // handles, as a real disconnect does.
    void PlugUsb(bool plugged);
    bool UsbPlugged() const;
    void ConnectSerial(bool connected);
    bool SerialConnected() const;
    // A silent board answers nothing (no version, no close answer, no echo).
    void SetSilent(bool silent);
    bool Silent() const;

    // The board sends bytes of its own accord: over USB as input reports of up to 7 payload
    // bytes, or on the serial line.
    void SendUsb(const std::vector<uint8_t>& bytes);
    void SendSerial(const std::vector<uint8_t>& bytes);

    // What the board has seen and holds, for tests and the sim window.
    bool LedFlashing() const;
    std::string Version() const;  // the 5 characters it answers a version request with
    void SetVersion(const std::string& version);
    std::vector<std::vector<uint8_t>> OutputReports() const;  // every output report written
    std::vector<uint8_t> SerialReceived() const;              // every byte written on the line
    int VersionRequests() const;
    int CloseCommands() const;
    // Called (on any thread) after any change of the above; the sim window repaints on it.
    void SetObserver(std::function<void()> observer);
};
