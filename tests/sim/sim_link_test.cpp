// The HID link against the simulated Kit, end to end: discovery, the version answer in
// usbRxRing, an unplug in the middle of traffic, a replug, and the close sequence. (The
// silent board's close is bounded in the HID link's and the page's tests.)
#include <gtest/gtest.h>

#include <future>
#include <vector>

#include "bench/board_commands.h"
#include "hid/hid_link.h"
#include "serial/byte_ring.h"
#include "serial/data_signal.h"
#include "sim/sim_kit.h"
#include "tests/common/test_support.h"

namespace {

using namespace std::chrono_literals;

// The link notices a failure on its reader thread, which may first have to wait for room in
// usbRxRing; keeps draining until the link is closed or the limit passed.
bool DrainUntilClosed(const CHidLink& link, Bytes& got, std::chrono::milliseconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (link.IsOpen() && std::chrono::steady_clock::now() < deadline) {
        const Bytes more = DrainUsbInput(1, 5);
        got.insert(got.end(), more.begin(), more.end());
    }
    const Bytes rest = DrainUsbInput(CByteRing::CAPACITY, 20);
    got.insert(got.end(), rest.begin(), rest.end());
    return !link.IsOpen();
}

TEST(SimKitLink, VersionUnplugMidTrafficReplugAndClose) {
    usbRxRing.Reset();
    CSimKit kit;
    kit.PlugUsb(true);
    auto link = std::make_unique<CHidLink>(kit.Hid());

    ASSERT_EQ(link->EnsureOpen(), 1);
    // The other interfaces were opened, found wanting and closed: a write and a read handle.
    EXPECT_EQ(kit.OpenHidHandles(), 2);
    ASSERT_EQ(link->SendBytes(sizeof VERSION_REQUEST, VERSION_REQUEST), 1);
    EXPECT_EQ(DrainUsbInput(5, 2000), Bytes({'K', '1', '.', '0', '7'}));
    EXPECT_EQ(kit.OutputReports().back(), Bytes({0, 3, 0x1B, 'V', 'v', 5, 6, 7, 8}));

    // The board streams, seven bytes at a time, until it is pulled out: what arrived is a
    // clean prefix of the stream.
    const auto streamByte = [](size_t k) { return static_cast<uint8_t>(k * 31 + 1); };
    auto sending = std::async(std::launch::async, [&] {
        size_t sent = 0;
        while (kit.UsbPlugged() && sent < 700000) {
            Bytes chunk;
            for (int i = 0; i < 7; ++i) {
                chunk.push_back(streamByte(sent++));
            }
            kit.SendUsb(chunk);
        }
        return sent;
    });
    Bytes got = DrainUsbInput(700, 2000);
    kit.PlugUsb(false);
    ASSERT_EQ(sending.wait_for(3s), std::future_status::ready);
    const size_t sent = sending.get();
    EXPECT_LT(sent, 700000u);  // the unplug, not the end of the stream, stopped the board
    ASSERT_TRUE(DrainUntilClosed(*link, got, 2000ms));
    ASSERT_GE(got.size(), 700u);
    ASSERT_LE(got.size(), sent);
    for (size_t k = 0; k < got.size(); ++k) {
        ASSERT_EQ(got[k], streamByte(k)) << "at " << k;
    }
    EXPECT_EQ(link->EnsureOpen(), 0);
    EXPECT_EQ(link->SendBytes(sizeof VERSION_REQUEST, VERSION_REQUEST), 0);

    kit.PlugUsb(true);
    ASSERT_EQ(link->EnsureOpen(), 1);
    // The dead connection's handles were closed before the new ones were opened.
    EXPECT_EQ(kit.OpenHidHandles(), 2);
    ASSERT_EQ(link->SendBytes(sizeof VERSION_REQUEST, VERSION_REQUEST), 1);
    EXPECT_EQ(DrainUsbInput(5, 2000), Bytes({'K', '1', '.', '0', '7'}));
    EXPECT_EQ(kit.VersionRequests(), 2);
    EXPECT_EQ(kit.DroppedInputReports(), 0);

    // The board answers the close command, so the close sequence ends after its pause.
    const auto start = std::chrono::steady_clock::now();
    link.reset();
    EXPECT_LT(std::chrono::steady_clock::now() - start, 1400ms * TIME_SCALE);
    EXPECT_EQ(kit.CloseCommands(), 1);
    EXPECT_EQ(kit.OpenHidHandles(), 0);
}

}  // namespace
