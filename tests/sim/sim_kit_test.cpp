// The simulated Kit's own contracts that the link and page tests do not reach: blocked reads woken
// by unplug, cancel and close, the kernel-like queue limit, reports kept past an unplug and a
// stalled OUT endpoint, an observer that never deadlocks, and a serial port that a disconnect
// hangs up for good and that drains at the line rate. (The rest of its serial side is driven
// through the page's tests.)
#include "sim/sim_kit.h"

#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <vector>

namespace {

using namespace std::chrono_literals;
using Bytes = std::vector<uint8_t>;
constexpr const char* KIT = "/sim/hidraw2";

int Write(platform::IHidDevice& device, const Bytes& payload) {
    Bytes report = {0, static_cast<uint8_t>(payload.size()), 2, 3, 4, 5, 6, 7, 8};
    std::copy(payload.begin(), payload.end(), report.begin() + 2);
    uint32_t written = 0;
    return device.WriteReport(report.data(), 9, written);
}

// One read on another thread: a board that never answers fails the test instead of hanging.
std::future<Bytes> StartRead(platform::IHidDevice& device) {
    return std::async(std::launch::async, [&device] {
        uint8_t b[9] = {};
        uint32_t count = 0;
        return device.ReadReport(b, 9, count) ? Bytes(b + 2, b + 2 + b[1]) : Bytes{0xEE};
    });
}
Bytes ReadPayload(platform::IHidDevice& device) {
    auto read = StartRead(device);
    if (read.wait_for(2s) != std::future_status::ready) {
        device.CancelRead();
        ADD_FAILURE() << "no input report";
    }
    return read.get();
}

// Present only while plugged; the version answer; the kernel's limits: a 64-report queue, reports
// kept past an unplug, a stalled OUT endpoint.
TEST(SimKitHid, PresenceVersionQueueLimitUnplugAndStalledOut) {
    CSimKit kit;
    EXPECT_EQ(kit.Hid().Open(KIT), nullptr);  // there only while plugged
    kit.PlugUsb(true);
    auto writer = kit.Hid().Open(KIT);  // never read, like the link's write handle
    auto reader = kit.Hid().Open(KIT);
    // A report longer than the device's output report is refused, not cut.
    const Bytes tooLong(10, 0);
    uint32_t written = 7;
    EXPECT_EQ(writer->WriteReport(tooLong.data(), 10, written), 0);
    EXPECT_EQ(written, 0u);

    // The version answer is always five characters: padded or cut.
    for (const auto& [set, answer] :
         {std::pair{"", "K1.07"}, {"AB", "AB   "}, {"2.10.77", "2.10."}}) {
        if (*set != '\0') {
            kit.SetVersion(set);
        }
        ASSERT_EQ(Write(*writer, {0x1B, 'V', 'v'}), 1);
        EXPECT_EQ(ReadPayload(*reader), Bytes(answer, answer + 5));
    }

    // Unpaced, a queue holds 64 reports and drops newer ones, as hidraw does.
    kit.SetPacedUsb(false);
    for (int i = 0; i < 100; ++i) {
        kit.SendUsb({static_cast<uint8_t>(i)});
    }
    EXPECT_EQ(kit.DroppedInputReports(), 36);
    for (uint8_t i = 0; i < 64; ++i) {
        ASSERT_EQ(ReadPayload(*reader), Bytes{i});
    }

    // Reports queued before an unplug are still read, then the handle fails.
    kit.SendUsb({1});
    kit.SendUsb({2});
    kit.PlugUsb(false);
    EXPECT_EQ(ReadPayload(*reader), Bytes{1});
    EXPECT_EQ(ReadPayload(*reader), Bytes{2});
    EXPECT_EQ(ReadPayload(*reader), Bytes{0xEE});

    // A board that stops reading OUT lets four reports queue at once and holds the fifth
    // write until it reads again; then it takes them in the order written.
    kit.PlugUsb(true);
    writer = kit.Hid().Open(KIT);
    const size_t before = kit.OutputReports().size();  // the version requests
    const auto queueFourAndHold = [&](uint8_t fifth) {
        kit.SetOutStalled(true);
        for (uint8_t i = 0; i < 4; ++i) {
            EXPECT_EQ(Write(*writer, {i}), 1);
        }
        auto held = std::async(std::launch::async, [&, fifth] { return Write(*writer, {fifth}); });
        EXPECT_EQ(held.wait_for(50ms), std::future_status::timeout);
        return held;
    };
    auto fifth = queueFourAndHold(4);
    EXPECT_EQ(kit.OutputReports().size(), before);
    kit.SetOutStalled(false);
    ASSERT_EQ(fifth.wait_for(2s), std::future_status::ready);
    EXPECT_EQ(fifth.get(), 1);
    const auto taken = kit.OutputReports();
    ASSERT_EQ(taken.size(), before + 5);
    for (uint8_t i = 0; i < 5; ++i) {
        EXPECT_EQ(taken[before + i][2], i);
    }
    // An unplug ends a held write at once and loses what waited.
    auto held = queueFourAndHold(9);
    kit.PlugUsb(false);
    ASSERT_EQ(held.wait_for(2s), std::future_status::ready);
    EXPECT_EQ(held.get(), 0);
    kit.SetOutStalled(false);
    EXPECT_EQ(kit.OutputReports().size(), before + 5);
}

TEST(SimKitHid, BlockedReadsWakeOnUnplugCancelAndClose) {
    enum Way { UNPLUG, CANCEL, CLOSE };
    for (Way way : {UNPLUG, CANCEL, CLOSE}) {
        CSimKit kit;
        kit.PlugUsb(true);
        auto device = kit.Hid().Open(KIT);
        auto blocked = StartRead(*device);
        EXPECT_EQ(blocked.wait_for(20ms), std::future_status::timeout) << way;
        way == UNPLUG ? kit.PlugUsb(false) : way == CANCEL ? device->CancelRead() : device->Close();
        ASSERT_EQ(blocked.wait_for(1s), std::future_status::ready) << way;
        EXPECT_EQ(blocked.get(), Bytes{0xEE}) << way;
        // It stays failed for later reads and writes, even with a report waiting.
        kit.PlugUsb(true);
        kit.SendUsb({1});
        EXPECT_EQ(ReadPayload(*device), Bytes{0xEE}) << way;
        EXPECT_EQ(Write(*device, {1}), way == CANCEL ? 1 : 0) << way;
        EXPECT_EQ(kit.OpenHidHandles(), way == CLOSE ? 0 : 1) << way;
    }
}

// As an unplugged adapter's tty: the open port fails with EIO's text and stays hung up after
// the line returns, while a new open gets the line.
TEST(SimKitSerial, ADisconnectHangsUpTheOpenPortForGood) {
    CSimKit kit;
    kit.ConnectSerial(true);
    auto old = kit.SerialPorts().CreatePort();
    auto fresh = kit.SerialPorts().CreatePort();
    ASSERT_EQ(old->Open("COM1"), 1);
    kit.ConnectSerial(false);
    kit.ConnectSerial(true);
    uint8_t buffer[8];
    uint32_t count = 0;
    EXPECT_TRUE(old->Gone() && old->IsOpen());
    EXPECT_EQ(old->WaitReadable(5000), 1);  // at once: the next read reports the failure
    EXPECT_EQ(old->Read(buffer, sizeof buffer, count), 0);
    EXPECT_EQ(old->LastErrorText(), "Input/output error");

    ASSERT_EQ(fresh->Open("COM1"), 1);
    ASSERT_EQ(fresh->SetTimeouts({platform::TIMEOUT_MAX, 0, 0, 0, 0}), 1);
    EXPECT_EQ(old->Close(), 1);  // closing the dead port leaves the new owner alone
    kit.SendSerial({'y'});
    ASSERT_EQ(fresh->Read(buffer, sizeof buffer, count), 1);
    EXPECT_EQ(Bytes(buffer, buffer + count), Bytes{'y'});
}

// As a UART's driver: written bytes stay queued for their line time (ten bits a byte), the
// drain wait is bounded by its time-out, and a disconnect ends it at once.
TEST(SimKitSerial, WrittenBytesLeaveAtTheLineRate) {
    using Clock = std::chrono::steady_clock;
    CSimKit kit;
    kit.ConnectSerial(true);
    auto port = kit.SerialPorts().CreatePort();
    ASSERT_EQ(port->Open("COM1"), 1);
    platform::SerialLineState line;
    ASSERT_EQ(port->GetLineState(line), 1);
    line.baudRate = 1200;  // 120 bytes a second: 60 bytes take 500 ms
    ASSERT_EQ(port->SetLineState(line), 1);
    const Bytes block(60, 'x');
    uint32_t written = 0;
    const Clock::time_point start = Clock::now();
    ASSERT_EQ(port->Write(block.data(), 60, written), 1);
    EXPECT_EQ(kit.SerialReceived(), block);  // the board has them: only the queue waits
    uint32_t queued = 0;
    ASSERT_EQ(port->ClearError(queued), 1);
    EXPECT_GT(queued, 40u);
    EXPECT_LE(queued, 60u);
    EXPECT_EQ(port->WaitOutputDrained(50), 0);
    EXPECT_GE(Clock::now() - start, 50ms);
    ASSERT_EQ(port->ClearError(queued), 1);
    EXPECT_GT(queued, 0u);
    EXPECT_EQ(port->WaitOutputDrained(5000), 1);
    EXPECT_GE(Clock::now() - start, 500ms);
    EXPECT_LT(Clock::now() - start, 1500ms);
    ASSERT_EQ(port->ClearError(queued), 1);
    EXPECT_EQ(queued, 0u);

    ASSERT_EQ(port->Write(block.data(), 60, written), 1);
    const Clock::time_point waitStart = Clock::now();
    auto waiting = std::async(std::launch::async, [&] { return port->WaitOutputDrained(5000); });
    kit.ConnectSerial(false);
    ASSERT_EQ(waiting.wait_for(2s), std::future_status::ready);
    EXPECT_EQ(waiting.get(), 0);
    EXPECT_LT(Clock::now() - waitStart, 400ms);
}

TEST(SimKit, ObserverRunsOutsideTheLockAndHandlesOutliveTheKit) {
    auto kit = std::make_unique<CSimKit>();
    std::atomic<int> calls{0};
    kit->SetObserver([&] {
        (void)kit->LedFlashing();  // reading the kit from the observer must not deadlock
        ++calls;
    });
    kit->PlugUsb(true);
    kit->ConnectSerial(true);
    auto device = kit->Hid().Open(KIT);
    ASSERT_EQ(Write(*device, {0x1B, 'L', 0x01}), 1);
    EXPECT_EQ(calls.load(), 3);
    // An observer that replaces itself does not wait for its own call.
    kit->SetObserver([&] { kit->SetObserver(nullptr); });
    kit->SetSilent(true);
    kit->SetSilent(false);
    EXPECT_EQ(calls.load(), 3);

    auto port = kit->SerialPorts().CreatePort();
    ASSERT_EQ(port->Open("COM1"), 1);
    kit.reset();
    uint8_t buffer[9];
    uint32_t count = 0;
    EXPECT_EQ(device->ReadReport(buffer, sizeof buffer, count), 0);
    EXPECT_EQ(port->Read(buffer, sizeof buffer, count), 0);
    EXPECT_EQ(port->Close(), 1);
}

}  // namespace
