// The Kit as a USB gadget: a configfs composite device (the Kit's ids, one 8-byte HID
// interface and a CDC-ACM serial line) bound to this machine's USB device controller, with the
// board model answering from the gadget side (/dev/hidgN and /dev/ttyGSN). On the real-kernel
// rig the controller is dummy_hcd, so the same kernel's usbhid and cdc_acm drivers see a real
// Kit. All members are safe to call from any thread.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "sim/board_model.h"

namespace sim::gadget {

class CGadgetKit {
  public:
    // configfsRoot is the usb_gadget folder of a mounted configfs.
    explicit CGadgetKit(std::string configfsRoot = "/sys/kernel/config/usb_gadget");
    ~CGadgetKit();  // unplugs the board and removes the gadget
    CGadgetKit(const CGadgetKit&) = delete;
    CGadgetKit& operator=(const CGadgetKit&) = delete;

    // Builds the gadget, plugs it into the first controller and starts answering. On failure
    // returns false with the reason in `error`, and leaves nothing behind.
    bool Start(std::string& error);

    // Binds the gadget to its controller (the host sees a plug) or unbinds it (an unplug).
    bool Plug(bool plugged);
    bool Plugged() const;
    void SetSilent(bool silent);
    void SetVersion(const std::string& version);
    // A stalled board stops reading its OUT endpoint: the host's writes then pile up in the
    // kernel and block.
    void SetOutStalled(bool stalled);

    // The board sends bytes of its own accord: as input reports of up to 7 payload bytes,
    // each taken by the host's next poll of the IN endpoint, or on the serial line. Queued
    // here while the host does not take them (at most 1 MiB per channel).
    void SendUsb(const std::vector<uint8_t>& bytes);
    void SendSerial(const std::vector<uint8_t>& bytes);

    // What the board has seen and holds.
    bool LedFlashing() const;
    int VersionRequests() const;
    int CloseCommands() const;
    std::vector<std::vector<uint8_t>> OutputReports() const;  // id byte 0 first, as sent
    std::vector<uint8_t> SerialReceived() const;
    // Bytes queued toward the host and not yet taken, per channel.
    size_t UsbPending() const;
    size_t SerialPending() const;

    // Waits until `done` (called under the kit's lock) holds or timeoutMs passed.
    bool WaitFor(const std::function<bool(const CGadgetKit&)>& done, int timeoutMs) const;

  private:
    bool Configure(std::string& error);
    void Remove();
    void HidLoop();
    void SerialLoop();

    const std::string gadgetDir;
    std::string udcName;
    std::string hidNode;
    std::string serialNode;

    mutable std::mutex mutex;
    mutable std::condition_variable changed;
    sim::CBoardModel board;
    bool plugged = false;
    bool outStalled = false;
    std::deque<std::vector<uint8_t>> usbToHost;  // 8-byte input reports
    std::deque<uint8_t> serialToHost;
    std::vector<std::vector<uint8_t>> outputReports;
    std::vector<uint8_t> serialReceived;

    std::atomic<bool> stopping{false};
    bool configured = false;
    std::thread hidThread;
    std::thread serialThread;
};

}  // namespace sim::gadget
