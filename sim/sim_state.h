// State shared by the simulated Kit's board model, its HID handles and its serial ports.
// Handles hold it by shared_ptr, so one left open past the CSimKit fails cleanly instead of
// touching freed memory. One mutex guards everything; waits use condition variables.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/hid_device.h"
#include "platform/serial_port.h"
#include "sim/board_model.h"
#include "sim/sim_kit.h"

namespace sim {

inline constexpr uint16_t KIT_VENDOR_ID = 0xD804;
inline constexpr uint16_t KIT_PRODUCT_ID = 0x0032;
// Report id, length byte and seven payload bytes.
inline constexpr uint32_t KIT_REPORT_BYTES = 9;
// Input reports each open hidraw descriptor holds before the kernel drops new ones.
inline constexpr size_t HID_QUEUE_REPORTS = 64;
// Bytes the tty holds toward the program before it drops new ones.
inline constexpr size_t LINE_BUFFER_BYTES = 4096;
// What the board remembers for the owner; the oldest go first beyond these.
inline constexpr size_t RECORDED_REPORTS = 65536;
inline constexpr size_t RECORDED_SERIAL_BYTES = 1 << 20;
// Output reports a board that stopped reading its OUT endpoint still lets the host queue;
// the write after them waits in the kernel this long and then fails with ETIMEDOUT.
inline constexpr size_t STALLED_OUT_REPORTS = 4;
inline constexpr int STALLED_WRITE_MS = 5000;
// Longest a paced SendUsb waits for readers to make room.
inline constexpr int PACING_LIMIT_MS = 2000;
inline constexpr const char* KIT_PATH = "/sim/hidraw2";
inline constexpr const char* KIT_PORT_NAME = "COM1";
// Commands the board remembers for its owner, the latest last.
inline constexpr size_t RECORDED_COMMANDS = 8;

// One HID interface of the virtual system.
struct HidDeviceInfo {
    std::string path;
    uint16_t vendorId;
    uint16_t productId;
    platform::HidCaps caps;
    bool isKit;
};

// The input queue of one open handle: like an open hidraw descriptor, each has its own.
struct HidQueue {
    bool isKit = false;
    std::deque<std::vector<uint8_t>> reports;
    bool closed = false;
    bool cancelled = false;
    bool gone = false;     // the device was unplugged under this handle
    bool reading = false;  // ReadReport has been called on it
};

class CSimState {
  public:
    CSimState();

    // The interfaces present now (the Kit only while plugged), in enumeration order.
    std::vector<HidDeviceInfo> PresentDevicesLocked() const;
    // The board takes one output report from the host.
    void BoardTakeReportLocked(const uint8_t* report, uint32_t length);
    // One input report to every open Kit handle; a full queue drops it, as the kernel does.
    void DeliverLocked(const uint8_t* payload, uint32_t count);
    // Bytes from the board onto the line toward the open port.
    void PutOnLineLocked(const uint8_t* bytes, size_t count);
    void RecordSerialLocked(const uint8_t* bytes, size_t count);
    bool ReadersHaveRoomLocked() const;
    void UnplugLocked();

    // Calls the observer, if any, without holding `mutex`.
    void NotifyObserver();
    // Replaces the observer and waits until calls of the old one on other threads ended.
    void SetObserver(std::function<void()> observer);

    mutable std::mutex mutex;
    // Input reports, freed room, cancel, close, unplug and the OUT endpoint's state.
    std::condition_variable hidChanged;
    // Bytes toward the program, disconnect and close.
    std::condition_variable lineChanged;

    // Board and USB side.
    bool usbPlugged = false;
    uint64_t plugGeneration = 0;
    CBoardModel board;
    bool usbPaced = true;
    bool usbAccessDenied = false;                 // the Kit's node is listed, but opening it fails
    bool outStalled = false;                      // the board has stopped reading its OUT endpoint
    std::deque<std::vector<uint8_t>> stalledOut;  // written meanwhile, not yet taken
    std::deque<std::vector<uint8_t>> outputReports;
    std::deque<uint8_t> usbDataReceived;  // payloads of the data reports, bounded as serialReceived
    std::deque<Taken> commands;           // the latest RECORDED_COMMANDS commands
    int droppedInputReports = 0;
    std::vector<std::shared_ptr<HidQueue>> openQueues;  // every handle not yet closed

    // Serial side.
    bool serialConnected = false;
    uint64_t serialGeneration = 0;      // counts disconnects; a port opened before one is gone
    const void* serialOwner = nullptr;  // the port object holding the line open
    std::deque<uint8_t> lineToHost;
    std::deque<uint8_t> serialReceived;
    int droppedSerialBytes = 0;
    platform::SerialLineState lineState;
    std::map<std::string, PortFault> portFaults;  // by COM name; absent: NONE

  private:
    std::mutex observerMutex;
    std::condition_variable observerIdle;
    std::function<void()> observer;
    int observerCalls = 0;  // calls running now, on any thread
};

}  // namespace sim
