// HID devices as the HID link sees them: enumerate the present interfaces, open one by
// path, learn its ids and report lengths, and exchange whole reports.
//
// Reports cross this interface with byte 0 the report id (0 for devices without numbered
// reports), and every length counts that byte.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace platform {

// Why an Open failed, in the platform's own terms.
struct HidOpenError {
    int code = 0;        // the platform's error code (errno on Linux)
    std::string text;    // the platform's text for it
    std::string remedy;  // what the user can do about it, where the platform knows; else ""
};

struct HidCaps {
    uint16_t inputReportByteLength = 0;
    uint16_t outputReportByteLength = 0;
};

// One open handle on a HID interface. The opener owns it; destruction closes it.
// ReadReport runs on the reader thread while WriteReport runs on the GUI thread, each on
// its own handle; CancelRead and Close may be called from any thread, also while a
// ReadReport on the same handle is waiting.
class IHidDevice {
  public:
    virtual ~IHidDevice() = default;
    virtual int GetAttributes(uint16_t& vendorId, uint16_t& productId) = 0;
    virtual int GetCaps(HidCaps& caps) = 0;
    // Blocks until one input report arrives (1, count = bytes including the id byte), or the
    // device fails, is gone, is closed, or the read is cancelled (0).
    virtual int ReadReport(uint8_t* buffer, uint32_t length, uint32_t& count) = 0;
    // Writes one output report of `length` bytes, byte 0 the report id. Blocks while the
    // device does not take it: on Linux a board that stops reading its OUT endpoint holds a
    // write about 5 s before it fails.
    virtual int WriteReport(const uint8_t* report, uint32_t length, uint32_t& written) = 0;
    // Wakes a waiting ReadReport, which then fails; later reads fail at once.
    virtual void CancelRead() = 0;
    virtual void Close() = 0;
};

class IHidSystem {
  public:
    virtual ~IHidSystem() = default;
    // Device paths of the HID interfaces present now, in the platform's order.
    virtual std::vector<std::string> EnumerateInterfaces() = 0;
    // The ids the system lists for an interface without opening it, so a pass need not wake
    // every device present. False where only an open tells them.
    virtual bool ListedIds(const std::string& /*path*/, uint16_t& /*vendorId*/,
                           uint16_t& /*productId*/) {
        return false;
    }
    // Opens one interface for shared reading and writing; null on failure.
    virtual std::unique_ptr<IHidDevice> Open(const std::string& path) = 0;
    // After an Open that returned null: why, until the next Open on the same thread.
    virtual HidOpenError LastOpenError() const { return {}; }
};

}  // namespace platform
