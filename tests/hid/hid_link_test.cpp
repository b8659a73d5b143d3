// CHidLink against a recording fake: framing, discovery, the reader, DrainInput and the
// close sequence.
#include "hid/hid_link.h"

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <thread>

#include "bench/board_commands.h"
#include "serial/byte_ring.h"
#include "serial/data_signal.h"
#include "tests/hid/fake_hid.h"

namespace {

using Bytes = std::vector<uint8_t>;
using Clock = std::chrono::steady_clock;

const FakeInterface KIT{"/dev/kit", KIT_VENDOR_ID, KIT_PRODUCT_ID};

class HidLinkTest : public ::testing::Test {
  protected:
    // usbRxRing is process-wide: every test starts from an empty one.
    void SetUp() override { usbRxRing.Reset(); }

    // Every byte waiting in usbRxRing (the ring's only consumer is the test).
    static Bytes Drain() {
        Bytes all;
        uint8_t buffer[256];
        while (uint32_t got = DrainInput(buffer, sizeof buffer)) {
            all.insert(all.end(), buffer, buffer + got);
        }
        return all;
    }
    // Drains until `wanted` bytes came, sleeping on the reader's signal in between.
    static Bytes DrainUntil(size_t wanted, int timeoutMs = 5000) {
        Bytes all;
        const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
        while (all.size() < wanted && Clock::now() < deadline) {
            const uint32_t seen = usbRxSignal.Generation();
            const Bytes more = Drain();
            all.insert(all.end(), more.begin(), more.end());
            if (more.empty()) {
                usbRxSignal.WaitSince(seen, 20);
            }
        }
        return all;
    }

    // For state the fake cannot signal: polls, bounded.
    static bool Eventually(const std::function<bool()>& condition) {
        const auto deadline = Clock::now() + std::chrono::seconds(3);
        while (!condition()) {
            if (Clock::now() > deadline) {
                return false;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        return true;
    }

    CFakeHid hid;
};

TEST_F(HidLinkTest, FramesBytesIntoNineByteReports) {
    hid.SetInterfaces({KIT});
    CHidLink link(hid);

    EXPECT_EQ(link.SendBytes(3, CLOSE_COMMAND), 1);
    EXPECT_EQ(link.SendBytes(0, nullptr), 1);
    const Bytes eight{0xB0, 0xB1, 0xB2, 0xB3, 0xB4, 0xB5, 0xB6, 0xB7};
    EXPECT_EQ(link.SendBytes(8, eight.data()), 1);
    Bytes fifteen;
    for (uint8_t i = 0; i < 15; ++i) {
        fifteen.push_back(0x40 + i);
    }
    EXPECT_EQ(link.SendBytes(15, fifteen.data()), 1);

    const std::vector<Bytes> expected{
        {0x00, 0x03, 0x1B, 0x54, 0x74, 0x05, 0x06, 0x07, 0x08},
        {0x00, 0x00, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08},
        {0x00, 0x07, 0xB0, 0xB1, 0xB2, 0xB3, 0xB4, 0xB5, 0xB6},
        {0x00, 0x01, 0xB7, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08},
        {0x00, 0x07, 0x40, 0x41, 0x42, 0x43, 0x44, 0x45, 0x46},
        {0x00, 0x07, 0x47, 0x48, 0x49, 0x4A, 0x4B, 0x4C, 0x4D},
        {0x00, 0x01, 0x4E, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08},
    };
    EXPECT_EQ(hid.Writes(), expected);
    // Only the first send had to connect.
    EXPECT_EQ(hid.Count("enumerate"), 1);

    // A write failing in the middle: the first report stays sent, the write handle is
    // closed, the link is closed, and the rest is dropped.
    hid.FailWrite(1);
    EXPECT_EQ(link.SendBytes(15, fifteen.data()), 0);
    EXPECT_EQ(hid.Writes().size(), expected.size() + 1);
    EXPECT_FALSE(link.IsOpen());
    EXPECT_EQ(hid.OpenDevices(), 1);  // the read handle is left to its reader

    // The next send connects afresh, and first ends the earlier reader and its handle.
    const size_t before = hid.Calls().size();
    EXPECT_EQ(link.SendBytes(3, VERSION_REQUEST), 1);
    const std::vector<std::string> calls = hid.Calls();
    const std::vector<std::string> fresh(calls.begin() + before, calls.end());
    const std::vector<std::string> expectedCalls{
        "cancel /dev/kit",     "close /dev/kit", "enumerate",     "open /dev/kit",
        "attributes /dev/kit", "caps /dev/kit",  "open /dev/kit", "write /dev/kit"};
    EXPECT_EQ(fresh, expectedCalls);
    EXPECT_EQ(hid.OpenDevices(), 2);
}

TEST_F(HidLinkTest, LongReportsFitTheirBuffers) {
    FakeInterface kit = KIT;
    kit.caps = {40, 12};
    hid.SetInterfaces({kit});
    CHidLink link(hid);

    // Bytes past index 9 of an output report are 0.
    EXPECT_EQ(link.SendBytes(3, VERSION_REQUEST), 1);
    const Bytes version{0x00, 0x03, 0x1B, 0x56, 0x76, 0x05, 0x06, 0x07, 0x08, 0x09, 0x00, 0x00};
    EXPECT_EQ(hid.Writes().at(0), version);

    // A 40-byte input report whose length byte claims more than arrived delivers what
    // arrived: the 38 bytes after the length byte.
    Bytes report{0x00, 100};
    for (uint8_t i = 0; i < 38; ++i) {
        report.push_back(i);
    }
    hid.PushReport(report);
    EXPECT_EQ(DrainUntil(38), Bytes(report.begin() + 2, report.end()));
}

TEST_F(HidLinkTest, DiscoveryOpensOnlyWhatItMustAndClosesTheRest) {
    CHidLink link(hid);

    // Nothing present: every call enumerates again and opens nothing.
    EXPECT_EQ(link.EnsureOpen(), 0);
    EXPECT_EQ(link.EnsureOpen(), 0);
    EXPECT_EQ(hid.Calls(), (std::vector<std::string>{"enumerate", "enumerate"}));

    // The Kit whose second open fails: the pass fails and closes what it opened.
    FakeInterface stubborn = KIT;
    stubborn.path = "/dev/stubborn";
    stubborn.secondOpenFails = true;
    hid.SetInterfaces({stubborn});
    EXPECT_EQ(link.EnsureOpen(), 0);
    EXPECT_FALSE(link.IsOpen());
    EXPECT_EQ(hid.OpenDevices(), 0);

    // An interface that cannot be opened, the Kit's vendor with another product, another
    // vendor with the Kit's product, then two boards: only the first board is kept.
    const FakeInterface locked{"/dev/locked", KIT_VENDOR_ID, KIT_PRODUCT_ID, {9, 9}, true};
    const FakeInterface otherProduct{"/dev/a", KIT_VENDOR_ID, KIT_PRODUCT_ID + 1};
    const FakeInterface otherVendor{"/dev/b", 0x1234, KIT_PRODUCT_ID};
    FakeInterface second = KIT;
    second.path = "/dev/kit2";
    hid.SetInterfaces({locked, otherProduct, otherVendor, KIT, second});
    const size_t before = hid.Calls().size();
    EXPECT_EQ(link.EnsureOpen(), 1);
    EXPECT_TRUE(link.IsOpen());
    std::vector<std::string> calls = hid.Calls();
    const std::vector<std::string> pass(calls.begin() + before, calls.end());
    const std::vector<std::string> expected{
        "enumerate",     "open /dev/locked",    "open /dev/a",       "attributes /dev/a",
        "close /dev/a",  "open /dev/b",         "attributes /dev/b", "close /dev/b",
        "open /dev/kit", "attributes /dev/kit", "caps /dev/kit",     "open /dev/kit"};
    EXPECT_EQ(pass, expected);
    EXPECT_EQ(hid.OpenDevices(), 2);

    // While open, EnsureOpen touches nothing.
    EXPECT_EQ(link.EnsureOpen(), 1);
    EXPECT_EQ(link.EnsureOpen(), 1);
    EXPECT_EQ(hid.Calls().size(), calls.size());
}

TEST_F(HidLinkTest, ReaderDeliversPayloadsAndEndsOnFailedRead) {
    hid.SetInterfaces({KIT});
    {
        CHidLink link(hid);
        ASSERT_EQ(link.EnsureOpen(), 1);
        const uint32_t seen = usbRxSignal.Generation();
        hid.PushReport({0x00, 0x03, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77});
        hid.PushReport({0x00, 0x00, 0x12, 0x13, 0x14, 0x15, 0x16, 0x17, 0x18});
        hid.PushReport({0x00, 0x80, 0x12, 0x13, 0x14, 0x15, 0x16, 0x17, 0x18});
        hid.PushReport({0x00, 0x01, 0x99, 0x13, 0x14, 0x15, 0x16, 0x17, 0x18});
        EXPECT_EQ(DrainUntil(4), (Bytes{0x11, 0x22, 0x33, 0x99}));
        EXPECT_NE(usbRxSignal.Generation(), seen);

        // The board leaves: the reader closes its handle, clears isOpen and ends.
        hid.SetInterfaces({});
        hid.FailReads();
        ASSERT_TRUE(Eventually([&] { return !link.IsOpen(); }));
        EXPECT_TRUE(hid.WaitForCall("close /dev/kit"));
        EXPECT_EQ(hid.OpenDevices(), 1);  // the write handle stays until the link ends
    }
    // The reader had ended by itself: five reads, never woken by the close sequence.
    EXPECT_EQ(hid.Count("read /dev/kit"), 5);
    EXPECT_EQ(hid.Count("cancel /dev/kit"), 0);
    EXPECT_EQ(hid.OpenDevices(), 0);
    EXPECT_TRUE(Drain().empty());
}

TEST_F(HidLinkTest, ReportsWaitingForAFullRingArriveOnceAndInOrder) {
    while (usbRxRing.Put(0xEE) != -1) {
    }
    ASSERT_EQ(usbRxRing.Count(), CByteRing::CAPACITY);
    hid.SetInterfaces({KIT});
    hid.SetAnswerClose(false);
    CHidLink link(hid);
    ASSERT_EQ(link.EnsureOpen(), 1);
    Bytes sent;
    for (int report = 0; report < 100; ++report) {
        Bytes bytes{0x00, 0x07};
        for (int i = 0; i < 7; ++i) {
            bytes.push_back(static_cast<uint8_t>(sent.size()));
            sent.push_back(bytes.back());
        }
        hid.PushReport(bytes);
    }
    // The reader took the first report and is held by the full ring; the rest wait.
    ASSERT_TRUE(hid.WaitForPendingAtMost(99));
    EXPECT_EQ(usbRxRing.Count(), CByteRing::CAPACITY);

    const Bytes got = DrainUntil(CByteRing::CAPACITY + sent.size());
    ASSERT_EQ(got.size(), CByteRing::CAPACITY + sent.size());
    EXPECT_EQ(Bytes(got.begin(), got.begin() + CByteRing::CAPACITY),
              Bytes(CByteRing::CAPACITY, 0xEE));
    EXPECT_EQ(Bytes(got.begin() + CByteRing::CAPACITY, got.end()), sent);
    EXPECT_TRUE(Drain().empty());
}

TEST_F(HidLinkTest, DrainInputHandsOutAtMostItsCapacity) {
    uint8_t buffer[256];
    EXPECT_EQ(DrainInput(buffer, sizeof buffer), 0u);
    for (int i = 0; i < 300; ++i) {
        usbRxRing.Put(static_cast<uint8_t>(i));
    }
    EXPECT_EQ(DrainInput(buffer, sizeof buffer), 256u);
    EXPECT_EQ(buffer[0], 0);
    EXPECT_EQ(buffer[255], 255);
    EXPECT_EQ(DrainInput(buffer, sizeof buffer), 44u);
    EXPECT_EQ(buffer[0], 0);  // byte 256
    EXPECT_EQ(buffer[43], 43);
    EXPECT_EQ(DrainInput(buffer, sizeof buffer), 0u);
}

TEST_F(HidLinkTest, CloseSequenceWithASilentBoardIsBounded) {
    hid.SetInterfaces({KIT});
    hid.SetAnswerClose(false);
    auto link = std::make_unique<CHidLink>(hid);
    ASSERT_EQ(link->EnsureOpen(), 1);
    const auto start = Clock::now();
    link.reset();
    const auto took = Clock::now() - start;
    EXPECT_GE(took, std::chrono::milliseconds(1000));
    EXPECT_LT(took, std::chrono::milliseconds(1600));
    EXPECT_EQ(hid.Writes().back(), (Bytes{0x00, 0x03, 0x1B, 0x54, 0x74, 5, 6, 7, 8}));
    EXPECT_EQ(hid.Count("cancel /dev/kit"), 1);
    EXPECT_EQ(hid.OpenDevices(), 0);
}

TEST_F(HidLinkTest, CloseSequenceFreesAReaderHeldByAFullRing) {
    while (usbRxRing.Put(0xEE) != -1) {
    }
    hid.SetInterfaces({KIT});
    auto link = std::make_unique<CHidLink>(hid);
    ASSERT_EQ(link->EnsureOpen(), 1);
    hid.PushReport({0x00, 0x02, 'h', 'i', 4, 5, 6, 7, 8});
    ASSERT_TRUE(hid.WaitForPendingAtMost(0));
    // Nobody drains any more: the reader gives up once alive is 0.
    const auto start = Clock::now();
    link.reset();
    EXPECT_LT(Clock::now() - start, std::chrono::milliseconds(1600));
    EXPECT_EQ(usbRxRing.Count(), CByteRing::CAPACITY);
    EXPECT_EQ(hid.OpenDevices(), 0);
}

TEST_F(HidLinkTest, CloseSequenceWaitsForTheBoardsAnswer) {
    hid.SetInterfaces({KIT});
    hid.SetAnswerClose(false);
    auto link = std::make_unique<CHidLink>(hid);
    ASSERT_EQ(link->EnsureOpen(), 1);
    // The board answers the close command 1.2 s after it came: after the pause, within
    // the bounded wait.
    std::thread board([&] {
        ASSERT_TRUE(hid.WaitForCall("write /dev/kit"));
        std::this_thread::sleep_for(std::chrono::milliseconds(1200));
        hid.PushReport({0x00, 0x02, 'O', 'K', 4, 5, 6, 7, 8});
    });
    const auto start = Clock::now();
    link.reset();
    const auto took = Clock::now() - start;
    board.join();
    EXPECT_GE(took, std::chrono::milliseconds(1200));
    EXPECT_EQ(Drain(), (Bytes{'O', 'K'}));
    EXPECT_EQ(hid.Count("cancel /dev/kit"), 0);
    EXPECT_EQ(hid.OpenDevices(), 0);
}

TEST_F(HidLinkTest, CloseSequenceWithNoBoardOnlyPauses) {
    auto link = std::make_unique<CHidLink>(hid);
    const auto start = Clock::now();
    link.reset();
    const auto took = Clock::now() - start;
    EXPECT_GE(took, std::chrono::milliseconds(1000));
    EXPECT_LT(took, std::chrono::milliseconds(1300));
    EXPECT_EQ(hid.Calls(), std::vector<std::string>{"enumerate"});
    EXPECT_EQ(hid.OpenDevices(), 0);
}

}  // namespace
