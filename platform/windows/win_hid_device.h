// One open HID interface on Windows. Reads and writes are overlapped, so another thread can
// always end a waiting read, and a write the device does not take ends at a deadline.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>

#include "platform/hid_device.h"

namespace platform::windows {

// A board that stops reading its OUT endpoint would hold a write for ever here; the Linux
// kernel gives up after about 5 s, and so does this backend.
inline constexpr std::chrono::milliseconds HID_WRITE_DEADLINE{5000};

class CWinHidDevice : public IHidDevice {
  public:
    // Takes ownership of handle (a HANDLE opened with FILE_FLAG_OVERLAPPED); caps are the
    // device's report lengths, all 0 when the device did not tell them.
    CWinHidDevice(void* handle, const HidCaps& caps,
                  std::chrono::milliseconds writeDeadline = HID_WRITE_DEADLINE);
    ~CWinHidDevice() override;
    CWinHidDevice(const CWinHidDevice&) = delete;
    CWinHidDevice& operator=(const CWinHidDevice&) = delete;

    int GetAttributes(uint16_t& vendorId, uint16_t& productId) override;
    int GetCaps(HidCaps& result) override;
    // One reader at a time; CancelRead or Close from any thread ends its wait.
    int ReadReport(uint8_t* buffer, uint32_t length, uint32_t& count) override;
    // One writer at a time; fails with ERROR_TIMEOUT when the deadline passes, the write
    // then cancelled.
    int WriteReport(const uint8_t* report, uint32_t length, uint32_t& written) override;
    void CancelRead() override;
    void Close() override;

  private:
    // state: the number of calls inside that use the handles, plus two flags. The handles
    // are released only once Close has run and no call is inside, so a read woken by Close
    // never touches a closed (or reused) handle.
    static constexpr uint32_t CLOSED = 1u << 31;
    static constexpr uint32_t CANCELLED = 1u << 30;

    bool Enter();
    void Leave();
    void Release();

    void* const handle;
    void* const cancelEvent;  // manual reset: once set, every later read ends at once
    void* const closeEvent;   // manual reset: ends a waiting write
    const HidCaps caps;
    const std::chrono::milliseconds writeDeadline;
    std::atomic<uint32_t> state{0};
    std::atomic<bool> released{false};
};

}  // namespace platform::windows
