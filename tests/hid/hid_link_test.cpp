// CHidLink against a recording fake: framing, discovery, the reader, DrainInput and the
// close sequence; and its deadline writer against the simulated Kit's stalled OUT endpoint.
#include "hid/hid_link.h"

#include <gtest/gtest.h>

#include <filesystem>

#include <chrono>
#include <thread>

#include "channel/board_commands.h"
#include "channel/byte_ring.h"
#include "channel/data_signal.h"
#include "hid/deadline_writer.h"
#include "sim/sim_kit.h"
#include "tests/channel/byte_ring_probe.h"
#include "tests/common/test_support.h"
#include "tests/common/thread_probe.h"
#include "tests/hid/fake_hid.h"

namespace {

using Strings = std::vector<std::string>;
using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

const FakeInterface KIT{"/dev/kit", KIT_VENDOR_ID, KIT_PRODUCT_ID};

class HidLinkTest : public ::testing::Test {
  protected:
    // usbRxRing is process-wide: every test starts from an empty one.
    void SetUp() override { usbRxRing.Reset(); }
    void Set(std::vector<FakeInterface> list) {
        hid.Change([&] { hid.interfaces = std::move(list); });
    }
    void Push(Bytes report) {
        hid.Change([&] { hid.inputs.push_back(std::move(report)); });
    }
    // The calls made since the `skip` first ones.
    Strings CallsSince(size_t skip) {
        const Strings all = hid.Calls();
        return Strings(all.begin() + static_cast<long>(skip), all.end());
    }
    static void FillRing() {
        while (usbRxRing.Put(0xEE) != -1) {
        }
    }

    CFakeHid hid;
};

TEST_F(HidLinkTest, FramesBytesIntoReportsAndAFailedWriteClosesTheLink) {
    Set({KIT});
    CHidLink link(hid);
    const Bytes fifteen = Stream(0, 15);  // 0x21 to 0x2F
    EXPECT_EQ(link.SendBytes(3, CLOSE_COMMAND), 1);
    EXPECT_EQ(link.SendBytes(0, nullptr), 1);
    EXPECT_EQ(link.SendBytes(8, fifteen.data()), 1);
    EXPECT_EQ(link.SendBytes(15, fifteen.data()), 1);
    // The close command, count 0, eight bytes as 7 + 1, fifteen as 7 + 7 + 1.
    const std::vector<Bytes> expected{
        {0x00, 0x03, 0x1B, 0x54, 0x74, 0x05, 0x06, 0x07, 0x08},
        {0x00, 0x00, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08},
        {0x00, 0x07, 0x21, 0x22, 0x23, 0x24, 0x25, 0x26, 0x27},
        {0x00, 0x01, 0x28, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08},
        {0x00, 0x07, 0x21, 0x22, 0x23, 0x24, 0x25, 0x26, 0x27},
        {0x00, 0x07, 0x28, 0x29, 0x2A, 0x2B, 0x2C, 0x2D, 0x2E},
        {0x00, 0x01, 0x2F, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08},
    };
    EXPECT_EQ(hid.Writes(), expected);
    EXPECT_EQ(hid.Count("enumerate"), 1);  // only the first send had to connect

    // A write failing in the middle: the first report stays sent, the write handle is
    // closed, the link is closed, and the rest is dropped.
    hid.Change([&] { hid.failingWrite = static_cast<int>(hid.writes.size()) + 1; });
    EXPECT_EQ(link.SendBytes(15, fifteen.data()), 0);
    EXPECT_EQ(hid.Writes().size(), expected.size() + 1);
    EXPECT_FALSE(link.IsOpen());
    EXPECT_EQ(hid.OpenDevices(), 1);  // the read handle is left to its reader

    // The next send connects afresh, and first ends the earlier reader and its handle.
    const size_t before = hid.Calls().size();
    EXPECT_EQ(link.SendBytes(3, VERSION_REQUEST), 1);
    EXPECT_EQ(CallsSince(before),
              (Strings{"cancel /dev/kit", "close /dev/kit", "enumerate", "open /dev/kit",
                       "attributes /dev/kit", "caps /dev/kit", "open /dev/kit", "write /dev/kit"}));
}

TEST_F(HidLinkTest, DiscoveryOpensOnlyWhatItMustAndClosesTheRest) {
    CHidLink link(hid);
    // Nothing present: every call enumerates again and opens nothing.
    EXPECT_EQ(link.EnsureOpen(), 0);
    EXPECT_EQ(link.EnsureOpen(), 0);
    EXPECT_EQ(hid.Calls(), (Strings{"enumerate", "enumerate"}));

    // The Kit whose second open fails: the pass fails and closes what it opened.
    Set({{"/dev/stubborn", KIT_VENDOR_ID, KIT_PRODUCT_ID, {9, 9}, 1}});
    EXPECT_EQ(link.EnsureOpen(), 0);
    EXPECT_FALSE(link.IsOpen());
    EXPECT_EQ(hid.OpenDevices(), 0);

    // An interface that cannot be opened, the Kit's vendor with another product, another
    // vendor with the Kit's product, then two boards: only the first board is kept.
    Set({{"/dev/locked", KIT_VENDOR_ID, KIT_PRODUCT_ID, {9, 9}, 0},
         {"/dev/a", KIT_VENDOR_ID, KIT_PRODUCT_ID + 1},
         {"/dev/b", 0x1234, KIT_PRODUCT_ID},
         KIT,
         {"/dev/kit2", KIT_VENDOR_ID, KIT_PRODUCT_ID}});
    const size_t before = hid.Calls().size();
    EXPECT_EQ(link.EnsureOpen(), 1);
    EXPECT_TRUE(link.IsOpen());
    EXPECT_EQ(CallsSince(before),
              (Strings{"enumerate", "open /dev/locked", "open /dev/a", "attributes /dev/a",
                       "close /dev/a", "open /dev/b", "attributes /dev/b", "close /dev/b",
                       "open /dev/kit", "attributes /dev/kit", "caps /dev/kit", "open /dev/kit"}));

    // While open, EnsureOpen touches nothing.
    const size_t open = hid.Calls().size();
    EXPECT_EQ(link.EnsureOpen(), 1);
    EXPECT_EQ(hid.Calls().size(), open);
}

TEST_F(HidLinkTest, ReaderDeliversPayloadsAndEndsOnAFailedRead) {
    FakeInterface kit = KIT;
    kit.caps = {40, 12};  // report buffers follow the device's lengths
    Set({kit});
    {
        CHidLink link(hid);
        ASSERT_EQ(link.SendBytes(3, VERSION_REQUEST), 1);
        EXPECT_EQ(hid.Writes().at(0), (Bytes{0, 3, 0x1B, 0x56, 0x76, 5, 6, 7, 8, 9, 0, 0}));
        // Length 3 gives bytes 2-4; 0 and 0x80 give nothing; a length beyond what arrived
        // gives what arrived (38 bytes of a 40-byte report).
        Bytes longReport = Stream(0, 40);
        longReport[0] = 0x00;
        longReport[1] = 100;
        for (const Bytes& report :
             {Bytes{0x00, 0x03, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77},
              Bytes{0x00, 0x00, 0x12, 0x13, 0x14, 0x15, 0x16, 0x17, 0x18},
              Bytes{0x00, 0x80, 0x12, 0x13, 0x14, 0x15, 0x16, 0x17, 0x18}, longReport}) {
            Push(report);
        }
        Bytes expected{0x11, 0x22, 0x33};
        expected.insert(expected.end(), longReport.begin() + 2, longReport.end());
        EXPECT_EQ(DrainUsbInput(expected.size(), 5000), expected);

        // The board leaves: the reader closes its handle, clears isOpen and ends.
        hid.Change([&] {
            hid.interfaces.clear();
            hid.readsFail = true;
        });
        EXPECT_TRUE(hid.WaitFor([&] { return hid.openDevices == 1; }));
        EXPECT_TRUE(WaitUntil([&] { return !link.IsOpen(); }, 3000, 1ms));
    }
    // The reader had ended by itself: five reads, never woken by the close sequence.
    EXPECT_EQ(hid.Count("read /dev/kit"), 5);
    EXPECT_EQ(hid.Count("cancel /dev/kit"), 0);
    EXPECT_EQ(hid.OpenDevices(), 0);
}

TEST_F(HidLinkTest, ReportsWaitingForAFullRingArriveOnceInOrderAndDrainInputHands256) {
    FillRing();
    hid.answerClose = false;
    Set({KIT});
    CHidLink link(hid);
    ASSERT_EQ(link.EnsureOpen(), 1);
    const Bytes sent = Stream(0, 700);
    for (size_t at = 0; at < sent.size(); at += 7) {
        Bytes report{0x00, 0x07, 0, 0, 0, 0, 0, 0, 0};
        std::copy_n(sent.begin() + at, 7, report.begin() + 2);
        Push(report);
    }
    // The reader took the first report and is held by the full ring; the rest wait.
    ASSERT_TRUE(hid.WaitFor([&] { return hid.inputs.size() <= 99; }));
    uint8_t buffer[256];
    EXPECT_EQ(DrainInput(buffer, sizeof buffer), 256u);
    // What filled the ring, then the reports.
    Bytes expected(CByteRing::CAPACITY - 256 + sent.size(), 0xEE);
    std::copy(sent.begin(), sent.end(), expected.end() - static_cast<long>(sent.size()));
    EXPECT_EQ(DrainUsbInput(expected.size(), 5000), expected);

    // An empty ring ends a drain at once, also while the reader is inside it.
    ASSERT_TRUE(ByteRingProbe::Hold(usbRxRing));
    EXPECT_EQ(DrainInput(buffer, sizeof buffer), 0u);
    ByteRingProbe::Release(usbRxRing);

    // 300 waiting: 256, then 44, then nothing; the reader holding the ring for a moment when
    // the drain starts does not end it early.
    for (int i = 0; i < 300; ++i) {
        usbRxRing.Put(static_cast<uint8_t>(i));
    }
    ASSERT_TRUE(ByteRingProbe::Hold(usbRxRing));
    std::thread reader([] {
        std::this_thread::sleep_for(20ms);  // the reader's moment inside the ring
        ByteRingProbe::Release(usbRxRing);
    });
    for (uint32_t expected : {256u, 44u, 0u}) {
        EXPECT_EQ(DrainInput(buffer, sizeof buffer), expected);
        EXPECT_TRUE(expected == 0 || buffer[expected - 1] == static_cast<uint8_t>(expected - 1));
    }
    reader.join();
}

// The close sequence: alive 0, the close command, a 1000 ms pause, a bounded wait for the
// reader, the handles closed.
TEST_F(HidLinkTest, CloseSequenceIsBoundedWhateverTheBoardDoes) {
    enum Board { NONE, SILENT, ANSWERS_AFTER_PAUSE, HELD_BY_FULL_RING };
    struct Case {
        Board board;
        int maxMs;
        int cancels;  // the reader was woken rather than ending on the answer; -1: either
    };
    for (const Case& c : {Case{NONE, 1300, 0}, Case{SILENT, 1600, 1},
                          Case{ANSWERS_AFTER_PAUSE, 1600, 0}, Case{HELD_BY_FULL_RING, 1600, -1}}) {
        CFakeHid fake;
        usbRxRing.Reset();
        fake.answerClose = false;
        if (c.board != NONE) {
            fake.interfaces = {KIT};
        }
        auto link = std::make_unique<CHidLink>(fake);
        if (c.board != NONE) {
            ASSERT_EQ(link->EnsureOpen(), 1);
        }
        if (c.board == HELD_BY_FULL_RING) {
            FillRing();  // nobody drains: the reader gives up once alive is 0
            fake.Change([&] { fake.inputs.push_back({0x00, 0x02, 'h', 'i', 4, 5, 6, 7, 8}); });
            ASSERT_TRUE(fake.WaitFor([&] { return fake.inputs.empty(); }));
        }
        // The board answers the close command once the pause is over and the link waits for
        // the reader: the answer, not a cancel, must end the reader.
        const pid_t closing = ThisThreadId();
        std::thread board([&] {
            if (c.board == ANSWERS_AFTER_PAUSE &&
                fake.WaitFor([&] { return !fake.writes.empty(); }) &&
                WaitUntilBlockedIn(closing, SLEEP_CALLS) &&
                WaitUntilBlockedIn(closing, FUTEX_CALLS, 2000 * TIME_SCALE)) {
                fake.Change([&] { fake.inputs.push_back({0x00, 0x02, 'O', 'K', 4, 5, 6, 7, 8}); });
            }
        });
        const auto start = Clock::now();
        link.reset();
        const auto took =
            std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start);
        board.join();
        EXPECT_GE(took.count(), 1000) << c.board;
        EXPECT_LT(took.count(), c.maxMs * TIME_SCALE) << c.board;
        if (c.cancels >= 0) {
            EXPECT_EQ(fake.Count("cancel /dev/kit"), c.cancels) << c.board;
        }
        EXPECT_EQ(fake.OpenDevices(), 0) << c.board;
        if (c.board == NONE) {
            EXPECT_EQ(fake.Calls(), Strings{"enumerate"});
        } else {
            EXPECT_EQ(fake.writes.back(), (Bytes{0x00, 0x03, 0x1B, 0x54, 0x74, 5, 6, 7, 8}));
        }
        if (c.board == ANSWERS_AFTER_PAUSE) {
            EXPECT_EQ(DrainUsbInput(2, 5000), (Bytes{'O', 'K'}));
        }
    }
}

// The writer's thread is there before the first write: starting a thread can take longer than
// the deadline (in a browser each is a worker), and the first write is the version request.
// A write the device holds past its deadline fails as held, also when it ends a moment after
// the deadline and before the caller asks: the connection is slow, not gone. The next write
// goes through and is not held. The simulated Kit's stalled OUT endpoint holds the fifth write.
TEST(DeadlineWriter, AWriteEndingJustAfterItsDeadlineStillCountsAsHeld) {
    CSimKit kit;
    kit.PlugUsb(true);
    kit.SetOutStalled(true);
    const auto threads = [] {
        const auto tasks = std::filesystem::directory_iterator("/proc/self/task");
        return std::distance(begin(tasks), end(tasks));
    };
    std::thread([] {}).join();  // a sanitizer's own thread starts with the first one
    const auto before = threads();
    CDeadlineWriter writer(kit.Hid().Open("/sim/hidraw2"), 50ms);
    EXPECT_EQ(threads(), before + 1);
    const uint8_t report[9] = {};
    uint32_t written = 0;
    for (int queued = 0; queued < 4; ++queued) {
        ASSERT_EQ(writer.WriteReport(report, sizeof report, written), 1);
    }
    EXPECT_EQ(writer.WriteReport(report, sizeof report, written), 0);
    // The board reads again and takes the held report too: that write has ended.
    kit.SetOutStalled(false);
    ASSERT_TRUE(WaitUntil([&] { return kit.OutputReports().size() == 5; }, 5000, 1ms));
    EXPECT_TRUE(writer.Held());
    // Refused at once while the writer's thread is still taking the first result.
    const auto until = Clock::now() + 5s;
    while (writer.WriteReport(report, sizeof report, written) == 0 && Clock::now() < until) {
        EXPECT_TRUE(writer.Held());
        std::this_thread::yield();
    }
    EXPECT_EQ(kit.OutputReports().size(), 6u);
    EXPECT_FALSE(writer.Held());
}

}  // namespace
