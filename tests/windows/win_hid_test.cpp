// The SetupAPI / HID.dll backend against the HID devices the system has (under Wine, its
// virtual mouse and keyboard).
#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <future>
#include <memory>
#include <string>
#include <vector>

#include "platform/windows/win_api.h"
#include "platform/windows/win_hid_device.h"
#include "platform/windows/win_hid_system.h"

namespace {

using platform::IHidDevice;
using Clock = std::chrono::steady_clock;

TEST(WinHidSystem, EnumeratedInterfacesOpenWithIdsAndReportLengths) {
    platform::windows::CWinHidSystem hid;
    const std::vector<std::string> paths = hid.EnumerateInterfaces();
    ASSERT_FALSE(paths.empty());
    int opened = 0;
    for (const std::string& path : paths) {
        std::unique_ptr<IHidDevice> device = hid.Open(path);
        if (!device) {
            // Windows keeps keyboards and mice to itself; the reason must still be given.
            EXPECT_NE(hid.LastOpenError().code, 0) << path;
            continue;
        }
        ++opened;
        uint16_t vendor = 0;
        uint16_t product = 0;
        ASSERT_EQ(device->GetAttributes(vendor, product), 1) << path;
        uint16_t listedVendor = 0;
        uint16_t listedProduct = 0;
        if (hid.ListedIds(path, listedVendor, listedProduct)) {
            EXPECT_EQ(listedVendor, vendor) << path;
            EXPECT_EQ(listedProduct, product) << path;
        }
        platform::HidCaps caps;
        ASSERT_EQ(device->GetCaps(caps), 1) << path;
        EXPECT_GT(caps.inputReportByteLength, 0) << path;
    }
    EXPECT_GT(opened, 0);
}

TEST(WinHidSystem, OpenOfAMissingPathSaysWhy) {
    platform::windows::CWinHidSystem hid;
    EXPECT_EQ(
        hid.Open("\\\\?\\hid#vid_1234&pid_5678#nothing#{4d1e55b2-f16f-11cf-88cb-001111000030}"),
        nullptr);
    const platform::HidOpenError error = hid.LastOpenError();
    EXPECT_NE(error.code, 0);
    EXPECT_FALSE(error.text.empty());
    EXPECT_EQ(hid.Open(""), nullptr);
    EXPECT_NE(hid.LastOpenError().code, 0);
}

TEST(WinHidSystem, IdsComeFromTheInterfacePathInEitherCase) {
    uint16_t vendor = 0;
    uint16_t product = 0;
    EXPECT_TRUE(platform::windows::IdsFromInterfacePath(
        "\\\\?\\HID#VID_046D&PID_C07e&MI_01#7&1b2c&0&0000#{4d1e55b2-f16f-11cf-88cb-001111000030}",
        vendor, product));
    EXPECT_EQ(vendor, 0x046D);
    EXPECT_EQ(product, 0xC07E);
    EXPECT_FALSE(
        platform::windows::IdsFromInterfacePath("\\\\?\\hid#vid_04g6&pid_c07e#x", vendor, product));
    EXPECT_FALSE(
        platform::windows::IdsFromInterfacePath("\\\\?\\hid#vid_046d&pid_c0", vendor, product));
}

// A read waiting for a report that never comes (nobody moves Wine's mouse) is ended from
// another thread, by CancelRead and by Close; later reads fail at once.
TEST(WinHidDevice, AWaitingReadEndsPromptlyWhenCancelledOrClosed) {
    platform::windows::CWinHidSystem hid;
    std::unique_ptr<IHidDevice> probe;
    std::string path;
    for (const std::string& candidate : hid.EnumerateInterfaces()) {
        probe = hid.Open(candidate);
        platform::HidCaps caps;
        if (probe && probe->GetCaps(caps) && caps.inputReportByteLength > 0) {
            path = candidate;
            break;
        }
    }
    if (path.empty()) {
        GTEST_SKIP() << "no HID interface here opens with input reports";
    }
    const std::vector<std::function<void(IHidDevice&)>> enders = {
        [](IHidDevice& device) { device.CancelRead(); },
        [](IHidDevice& device) { device.Close(); }};
    for (const auto& end : enders) {
        std::unique_ptr<IHidDevice> device = hid.Open(path);
        ASSERT_NE(device, nullptr);
        platform::HidCaps caps;
        ASSERT_EQ(device->GetCaps(caps), 1);
        auto reader = std::async(std::launch::async, [&] {
            std::vector<uint8_t> buffer(caps.inputReportByteLength);
            uint32_t count = 0;
            // Reports that do arrive are passed over; only the end of the reads counts.
            while (device->ReadReport(buffer.data(), static_cast<uint32_t>(buffer.size()), count)) {
            }
            return Clock::now();
        });
        // Nobody moves the mouse: the read is still waiting (a bounded wait on the reader,
        // not a pause).
        ASSERT_EQ(reader.wait_for(std::chrono::milliseconds(300)), std::future_status::timeout);
        end(*device);
        const Clock::time_point ended = Clock::now();
        ASSERT_EQ(reader.wait_for(std::chrono::seconds(3)), std::future_status::ready);
        EXPECT_LT(reader.get() - ended, std::chrono::seconds(1));
        uint8_t buffer[64];
        uint32_t count = 0;
        EXPECT_EQ(device->ReadReport(buffer, caps.inputReportByteLength, count), 0);
    }
}

// A named pipe stands in for a device that takes no more output reports: the write ends at
// its deadline, failed and cancelled, and a report that does come is read whole.
TEST(WinHidDevice, AWriteTheDeviceDoesNotTakeEndsAtTheDeadline) {
    const std::wstring name = L"\\\\.\\pipe\\palvex-hid-" + std::to_wstring(GetCurrentProcessId());
    const HANDLE server = CreateNamedPipeW(name.c_str(), PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED,
                                           PIPE_TYPE_BYTE, 1, 16, 16, 0, nullptr);
    ASSERT_NE(server, INVALID_HANDLE_VALUE);
    const HANDLE client = CreateFileW(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                      OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
    ASSERT_NE(client, INVALID_HANDLE_VALUE);
    platform::HidCaps caps;
    caps.inputReportByteLength = 3;
    caps.outputReportByteLength = 64;
    platform::windows::CWinHidDevice device(client, caps, std::chrono::milliseconds(200));

    // Far more than the pipe buffers: nobody reads, so the write waits.
    const std::vector<uint8_t> report(1 << 20, 0x42);
    uint32_t written = 99;
    const Clock::time_point start = Clock::now();
    EXPECT_EQ(device.WriteReport(report.data(), static_cast<uint32_t>(report.size()), written), 0);
    const auto took = Clock::now() - start;
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_TIMEOUT));
    EXPECT_EQ(written, 0u);
    EXPECT_GE(took, std::chrono::milliseconds(150));
    EXPECT_LT(took, std::chrono::seconds(2));

    const uint8_t input[3] = {0, 7, 9};
    DWORD sent = 0;
    OVERLAPPED overlapped{};
    overlapped.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (!WriteFile(server, input, sizeof input, nullptr, &overlapped)) {
        ASSERT_EQ(GetLastError(), static_cast<DWORD>(ERROR_IO_PENDING));
    }
    uint8_t buffer[3] = {};
    uint32_t count = 0;
    ASSERT_EQ(device.ReadReport(buffer, sizeof buffer, count), 1);
    ASSERT_TRUE(GetOverlappedResult(server, &overlapped, &sent, TRUE));
    EXPECT_EQ(count, 3u);
    EXPECT_EQ(std::vector<uint8_t>(buffer, buffer + 3), std::vector<uint8_t>(input, input + 3));
    CloseHandle(overlapped.hEvent);
    device.Close();
    CloseHandle(server);
}

}  // namespace
