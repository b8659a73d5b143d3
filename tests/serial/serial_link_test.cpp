// The serial link's platform calls, their order and the boxes the user sees, against a
// recording port; and the settings correction table.
#include "serial/serial_link.h"

#include <gtest/gtest.h>

#include <chrono>
#include <deque>
#include <sstream>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "tests/common/test_support.h"

namespace {

using Log = std::vector<std::string>;

// Logs every call (boxes too, so they appear in their place): the call's name, with its
// arguments where they matter. `failing` names the call that fails.
class CRecordingPort : public platform::ISerialPort {
  public:
    explicit CRecordingPort(Log& log) : log(log) {}
    int Open(const std::string& name) override { return open = Step("Open " + name); }
    bool IsOpen() const override { return open; }
    int SetQueueSizes(uint32_t in, uint32_t out) override {
        return Step("SetQueueSizes " + std::to_string(in) + " " + std::to_string(out));
    }
    int GetLineState(platform::SerialLineState& s) override {
        s = reported;
        return Step("GetLineState");
    }
    int SetLineState(const platform::SerialLineState& s) override {
        written = s;
        return Step("SetLineState");
    }
    int SetEventMask(uint32_t mask) override {
        return Step("SetEventMask " + std::to_string(mask));
    }
    int GetTimeouts(platform::SerialTimeouts& t) override {
        t = {1, 2, 3, 4, 5};
        return Step("GetTimeouts");
    }
    int SetTimeouts(const platform::SerialTimeouts& t) override {
        timeouts = t;
        return Step("SetTimeouts");
    }
    int ClearError(uint32_t& queued) override {
        queued = queueCounts.empty() ? stuckQueue : queueCounts.front();
        if (!queueCounts.empty()) {
            queueCounts.pop_front();
        }
        return Step("ClearError");
    }
    int WaitOutputDrained(uint32_t ms) override {
        if (stuckQueue != 0) {
            std::this_thread::sleep_for(std::chrono::milliseconds(ms));  // the platform's wait
        }
        return Step("WaitOutputDrained");
    }
    int WaitReadable(uint32_t ms) override { return Step("WaitReadable " + std::to_string(ms)); }
    int Read(uint8_t* buffer, uint32_t max, uint32_t& count) override {
        count = std::min<uint32_t>(max, static_cast<uint32_t>(incoming.size()));
        std::copy_n(incoming.begin(), count, buffer);
        return Step("Read " + std::to_string(max));
    }
    int Write(const uint8_t*, uint32_t count, uint32_t& moved) override {
        moved = writeMoves < 0 ? count : static_cast<uint32_t>(writeMoves);
        return Step("Write " + std::to_string(count));
    }
    int Close() override {
        open = false;
        return Step("Close");
    }
    bool Gone() const override { return false; }
    std::string LastErrorText() const override {
        log.push_back("LastErrorText");
        return "text of " + failing;
    }
    Log& log;
    std::string failing;
    platform::SerialLineState reported, written;
    platform::SerialTimeouts timeouts;
    std::deque<uint32_t> queueCounts;  // what successive ClearError calls report
    std::string incoming;
    int writeMoves = -1;      // bytes a Write reports; -1: all
    uint32_t stuckQueue = 0;  // what ClearError reports once queueCounts is used up

  private:
    int Step(const std::string& entry) {
        log.push_back(entry);
        return entry.substr(0, entry.find(' ')) != failing;
    }
    bool open = false;
};

class SerialLinkTest : public ::testing::Test,
                       public platform::ISerialPorts,
                       public platform::IMessageBoxSink {
  protected:
    std::unique_ptr<platform::ISerialPort> CreatePort() override {
        auto made = std::make_unique<CRecordingPort>(log);
        made->failing = failing;
        made->reported.xonChar = 0x21;  // fields the link does not set must survive
        made->reported.fNull = made->reported.fAbortOnError = true;
        port = made.get();
        return made;
    }
    // A link whose port is open; its log starts empty.
    std::unique_ptr<CSerialLink> OpenLink(SerialSettings settings = {"COM2", 19200, 8, 0, 0, 0}) {
        auto link = std::make_unique<CSerialLink>(settings, services);
        EXPECT_EQ(link->Open(), 1);
        log.clear();
        return link;
    }

    void Show(const std::string& text, const std::string& caption) override {
        log.push_back("Show " + text + " | " + caption);
    }

    Log log;
    std::string failing;  // for the port made next
    CRecordingPort* port = nullptr;
    platform::Platform services{this, nullptr, this};
};

const Log OPEN_CALLS = {"Open COM2",    "SetQueueSizes 1024 1024", "GetLineState",
                        "SetLineState", "SetEventMask 0",          "GetTimeouts",
                        "SetTimeouts"};

TEST(SerialSettings, UnsupportedValuesBecomeDefaultsAndSupportedOnesStay) {
    const auto fields = [](const SerialSettings& s) {
        return std::make_tuple(s.portName, s.baudRate, s.dataBits, s.parity, s.stopBits,
                               s.flowControl);
    };
    const std::pair<SerialSettings, SerialSettings> cases[] = {
        {{"COM3", 115200, 9, 7, 3, 4}, {"COM3", 19200, 8, 0, 0, 0}},
        {{"COM1", 14400, 7, 2, 2, 1}, {"COM1", 14400, 7, 2, 2, 1}},
        {{"COM2", 19200, 8, 0, 0, -1}, {"COM2", 19200, 8, 0, 0, 0}},
        {{"COM4", 57600, 8, 4, 1, 3}, {"COM4", 57600, 8, 4, 1, 3}},
        {{"COM2", 14399, 8, 0, 0, 0}, {"COM2", 19200, 8, 0, 0, 0}},
        {{"COM1", 300, 6, 5, 0, 2}, {"COM1", 300, 8, 0, 0, 2}},
        {{"COM1", 110, 0, 255, 255, INT32_MIN}, {"COM1", 19200, 8, 0, 0, 0}},
        {{"COM1", 0, 8, 0, 0, INT32_MAX}, {"COM1", 19200, 8, 0, 0, 0}},
    };
    for (const auto& [in, out] : cases) {
        EXPECT_EQ(fields(CorrectSettings(in)), fields(out)) << "rate " << in.baudRate;
    }
}

TEST_F(SerialLinkTest, FlowControlModesSetTheirFields) {
    using namespace platform;
    struct Row {
        int mode;
        bool cts, dsr;
        uint8_t dtr, rts;
        bool xon;
    };
    const Row rows[] = {
        {0, false, false, DTR_OFF, RTS_OFF, false},
        {1, true, false, DTR_OFF, RTS_HANDSHAKE, false},
        {2, false, true, DTR_HANDSHAKE, RTS_OFF, false},
        {3, false, false, DTR_OFF, RTS_OFF, true},
    };
    for (const Row& row : rows) {
        auto link = OpenLink({"COM1", 19200, 8, 0, 0, row.mode});
        // The port reports every handshake on: each one the mode does not use must go.
        SerialLineState& on = port->reported;
        on.fOutxCtsFlow = on.fOutxDsrFlow = on.fOutX = on.fInX = true;
        on.fDtrControl = DTR_ON;
        on.fRtsControl = RTS_ON;
        ASSERT_EQ(link->ApplySettings(), 1);
        const SerialLineState& s = port->written;
        EXPECT_EQ(std::make_tuple(s.fOutxCtsFlow, s.fOutxDsrFlow, s.fDtrControl, s.fRtsControl,
                                  s.fOutX, s.fInX),
                  std::make_tuple(row.cts, row.dsr, row.dtr, row.rts, row.xon, row.xon))
            << row.mode;
    }
}

// Open with a failure at each step, then with none: the calls stop at the failing one, one
// box shows its text, and the handle obtained is left for Close.
TEST_F(SerialLinkTest, OpenProgramsThePortInOrderAndStopsAtAFailingStep) {
    for (size_t i = 0; i <= OPEN_CALLS.size(); ++i) {
        const bool fails = i < OPEN_CALLS.size();
        failing = fails ? OPEN_CALLS[i].substr(0, OPEN_CALLS[i].find(' ')) : "";
        log.clear();
        {
            CSerialLink link({"COM2", 9600, 9, 2, 2, 0}, services);
            EXPECT_EQ(link.Open(), fails ? 0 : 1) << failing;
            Log expected(OPEN_CALLS.begin(), OPEN_CALLS.begin() + static_cast<long>(i + fails));
            if (fails) {  // the text is read before anything else happens
                expected.insert(
                    expected.end(),
                    {"LastErrorText", "Show text of " + failing + " | Error", "ClearError"});
            }
            EXPECT_EQ(log, expected) << failing;
            if (!fails) {
                // The corrected settings went out; fields the link does not set survived.
                const platform::SerialLineState& s = port->written;
                EXPECT_EQ(std::make_tuple(s.baudRate, s.byteSize, s.parity, s.stopBits, s.fParity,
                                          s.xonChar),
                          std::make_tuple(9600u, uint8_t{8}, platform::EVEN_PARITY_BIT,
                                          platform::STOP_BITS_TWO, true, '!'));
                EXPECT_FALSE(s.fNull || s.fAbortOnError);
                const platform::SerialTimeouts& t = port->timeouts;
                EXPECT_EQ(
                    std::make_tuple(t.readInterval, t.readTotalMultiplier, t.readTotalConstant,
                                    t.writeTotalMultiplier, t.writeTotalConstant),
                    std::make_tuple(platform::TIMEOUT_MAX, 0u, 0u, 2000u, 0u));
            }
            log.clear();
        }
        // Destruction closes a handle that was obtained, and makes no call otherwise.
        EXPECT_EQ(log, i == 0 ? Log{} : Log{"Close"}) << failing;
    }
}

// Read, WriteBlock and Close on an open port: calls in order, failures shown once, and a
// stalled drain bounded. In the expected logs, "box" stands for reading the error text, its
// box and the error clearing.
TEST_F(SerialLinkTest, ReadWriteAndCloseCallsAndTheirFailures) {
    struct Case {
        const char* action;  // read, wait, close (twice), or write of "7", "1" or "0" bytes
        const char* failing;
        std::deque<uint32_t> queueCounts;
        int writeMoves;  // -1: all
        int result;
        const char* log;
    };
    const Case cases[] = {
        {"read", "", {}, -1, 3, "ClearError,Read 64"},  // a read gives back its count
        {"read", "Read", {}, -1, 0, "ClearError,Read 64,box"},
        {"read", "ClearError", {}, -1, 0, "ClearError,box"},
        {"wait", "", {}, -1, 1, "WaitReadable 20"},
        {"0", "", {}, -1, 1, ""},
        // Waits on the platform between queue checks until the queue is empty.
        {"7", "", {5, 2, 0}, -1, 1, "Write 7,ClearError,drain,ClearError,drain,ClearError"},
        {"7", "", {}, 3, 1, "Write 7,ClearError"},  // part of a block counts as written
        // The time-out leaves the port's error state alone.
        {"1", "", {}, 0, 0, "Write 1,Show Serial port writing time-out ! | Error"},
        {"1", "Write", {}, -1, 0, "Write 1,box"},
        {"1", "ClearError", {4}, -1, 0, "Write 1,ClearError,box"},
        {"close", "", {}, -1, 11, "Close"},
        {"close", "Close", {}, -1, 10, "Close,box"},  // closed all the same
    };
    for (const Case& c : cases) {
        auto link = OpenLink();
        port->failing = c.failing;
        port->queueCounts = c.queueCounts;
        port->writeMoves = c.writeMoves;
        port->incoming = "abc";
        const std::string action = c.action;
        const uint8_t text[] = {'W', 'e', 'l', 'c', 'o', 'm', 'e'};
        uint8_t buffer[64];
        uint32_t count = 64;
        int result = 0;
        if (action == "read") {
            // A failed read hands back no bytes.
            result = link->Read(count, buffer) == 1 ? static_cast<int>(count) : (count ? -1 : 0);
        } else if (action == "wait") {
            result = link->WaitForInput(20);
        } else if (action == "close") {
            result = link->Close();
            result += 10 * link->Close();  // the second makes no call
        } else {
            result = link->WriteBlock(std::stoi(action), text);
        }
        EXPECT_EQ(result, c.result) << action << " " << c.failing;
        Log expected;
        std::istringstream entries(c.log);
        for (std::string entry; std::getline(entries, entry, ',');) {
            if (entry == "drain") {
                expected.push_back("WaitOutputDrained");
            } else if (entry == "box") {
                expected.insert(
                    expected.end(),
                    {"LastErrorText", "Show text of " + port->failing + " | Error", "ClearError"});
            } else {
                expected.push_back(entry);
            }
        }
        EXPECT_EQ(log, expected) << action << " " << c.failing;
        log.clear();
        link.reset();
        EXPECT_EQ(log, action == "close" ? Log{} : Log{"Close"}) << "destruction closes once";
    }

    // A device that stops taking data: the wait for the output queue ends at the write
    // time-out (2000 ms a byte) with the time-out box.
    auto link = OpenLink();
    port->stuckQueue = 1;
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(link->WriteBlock(1, reinterpret_cast<const uint8_t*>("W")), 0);
    const auto waited = std::chrono::steady_clock::now() - start;
    EXPECT_GE(waited, std::chrono::milliseconds(2000));
    EXPECT_LT(waited, std::chrono::milliseconds(2500) * TIME_SCALE);
    EXPECT_EQ(log.back(), "Show Serial port writing time-out ! | Error");
}

}  // namespace
