// The simulated Kit's stream: every byte once and in order, at the rate asked for, and a stop
// that returns at once and ends the stream.
#include <gtest/gtest.h>

#include <chrono>

#include "sim/sim_kit.h"
#include "sim/sim_stream.h"
#include "tests/common/test_support.h"

TEST(SimStream, SendsExactlyTheCountAtTheRateAndStopsWhenAsked) {
    using Clock = std::chrono::steady_clock;
    CSimKit kit;
    kit.ConnectSerial(true);
    auto port = kit.SerialPorts().CreatePort();
    ASSERT_EQ(port->Open("COM1"), 1);
    ASSERT_EQ(port->SetTimeouts({platform::TIMEOUT_MAX, 0, 0, 0, 0}), 1);  // reads return at once
    const auto readFor = [&](size_t wanted, int timeoutMs) {
        Bytes got;
        const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
        while (got.size() < wanted && Clock::now() < deadline) {
            uint8_t buffer[512];
            uint32_t count = 0;
            if (port->WaitReadable(20) == 1 && port->Read(buffer, sizeof buffer, count) == 1) {
                got.insert(got.end(), buffer, buffer + count);
            }
        }
        return got;
    };

    const std::string firstLine = "000001 The quick brown fox jumps over the lazy dog\r\n";
    EXPECT_EQ(CSimStream::Bytes(0, firstLine.size(), true),
              Bytes(firstLine.begin(), firstLine.end()));
    // Without line ends the lines run on; a stream may start anywhere in one.
    EXPECT_EQ(CSimStream::Bytes(48, 6, false), (Bytes{'o', 'g', '0', '0', '0', '0'}));

    // 3000 bytes at 10000 bytes a second: 300 ms, every byte once, then the stream ends.
    CSimStream stream(kit);
    const auto start = Clock::now();
    stream.Start(CSimStream::Channel::SERIAL, 3000, 10000, true);
    const Bytes got = readFor(3000, 5000 * TIME_SCALE);
    const auto elapsedMs =
        std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
    EXPECT_EQ(got, CSimStream::Bytes(0, 3000, true));
    EXPECT_GE(elapsedMs, 280);
    EXPECT_LE(elapsedMs, 1500 * TIME_SCALE);
    EXPECT_TRUE(WaitUntil([&] { return !stream.Running(); }, 3000 * TIME_SCALE));
    EXPECT_EQ(stream.Sent(), 3000u);
    EXPECT_TRUE(readFor(1, 100).empty());
    EXPECT_EQ(kit.DroppedSerialBytes(), 0);

    // A slow endless one: Stop returns at once and nothing follows what was sent.
    stream.Start(CSimStream::Channel::SERIAL, 1000000, 1000, false);
    ASSERT_FALSE(readFor(20, 3000 * TIME_SCALE).empty());
    const auto stopping = Clock::now();
    stream.Stop();
    EXPECT_LT(Clock::now() - stopping, std::chrono::milliseconds(50 * TIME_SCALE));
    EXPECT_TRUE(WaitUntil([&] { return !stream.Running(); }, 3000 * TIME_SCALE));
    EXPECT_LT(stream.Sent(), 1000000u);
}
