// One open hidraw node as a HID device: reads wait in poll on the node and on a wake-up
// descriptor, so another thread can always end a waiting read.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

#include "platform/hid_device.h"
#include "platform/linux/hid_report_descriptor.h"
#include "platform/linux/hidraw_writer.h"

namespace platform::linux_hid {

class CHidrawDevice : public IHidDevice {
  public:
    // Takes ownership of fd (an open node). lengths come from the node's report descriptor;
    // sysfsDeviceDir (the node's ".../hidrawN/device", may be empty) answers the ids when
    // the node does not.
    CHidrawDevice(int fd, const ReportLengths& lengths, std::string sysfsDeviceDir);
    ~CHidrawDevice() override;
    CHidrawDevice(const CHidrawDevice&) = delete;
    CHidrawDevice& operator=(const CHidrawDevice&) = delete;

    int GetAttributes(uint16_t& vendorId, uint16_t& productId) override;
    int GetCaps(HidCaps& caps) override;
    int ReadReport(uint8_t* buffer, uint32_t length, uint32_t& count) override;
    int WriteReport(const uint8_t* report, uint32_t length, uint32_t& written) override;
    void CancelRead() override;
    void Close() override;

  private:
    // state: the number of calls inside that use the descriptors, plus two flags. The
    // descriptors are released only once Close has run and no call is inside, so a read
    // woken by Close never touches a closed (or reused) descriptor.
    static constexpr uint32_t CLOSED = 1u << 31;
    static constexpr uint32_t CANCELLED = 1u << 30;

    bool Enter();
    void Leave();
    void Release();
    void Wake();

    const int fd;
    const int wakeFd;  // an eventfd; once signalled it stays readable
    const ReportLengths lengths;
    const std::string sysfsDeviceDir;
    // Writes go through a child process, which a stalled board may hold for seconds.
    std::unique_ptr<CHidrawWriter> writer;
    std::atomic<uint32_t> state{0};
    std::atomic<bool> released{false};
};

}  // namespace platform::linux_hid
