// Output reports with a deadline: a board that stops reading its OUT endpoint holds a hidraw
// write about 5 s in the kernel, and neither the window nor the exit may wait that long. The
// writes run on a thread of their own; the caller waits for each at most the deadline.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <thread>

#include "platform/hid_device.h"

class CDeadlineWriter : public platform::IHidDevice {
  public:
    // Takes the device and starts its writer thread.
    CDeadlineWriter(std::unique_ptr<platform::IHidDevice> device,
                    std::chrono::milliseconds deadline);
    // Closes the device. A write still held by the platform keeps its thread and the device
    // until the platform lets go of it; nobody waits for that.
    ~CDeadlineWriter() override;
    CDeadlineWriter(const CDeadlineWriter&) = delete;
    CDeadlineWriter& operator=(const CDeadlineWriter&) = delete;

    // These go straight to the device, on the calling thread.
    int GetAttributes(uint16_t& vendorId, uint16_t& productId) override;
    int GetCaps(platform::HidCaps& caps) override;
    int ReadReport(uint8_t* buffer, uint32_t length, uint32_t& count) override;
    void CancelRead() override;
    void Close() override;
    // 0 when the write failed, or was still under way at the deadline: such a write may yet
    // reach the board, but it counts as failed, and every later write fails at once while
    // the device is stuck. One thread writes at a time.
    int WriteReport(const uint8_t* report, uint32_t length, uint32_t& written) override;
    // True when the latest write failed because it was still under way at its deadline (and
    // the writes since, refused while it was), not because the device refused it: the device
    // is slow, not gone. It stays true until a write is made again, even once the held write
    // has ended, so a caller that asks after a failed write learns why that write failed.
    bool Held() const;

  private:
    struct Shared;
    static void Run(std::shared_ptr<Shared> shared);

    const std::chrono::milliseconds deadline;
    // Shared with the writer thread, which may outlive this object.
    std::shared_ptr<Shared> shared;
    std::thread thread;
};
