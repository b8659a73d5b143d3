// The serial link's platform calls, their order and the boxes the user sees, against a
// recording port.
#include "serial/serial_link.h"

#include <gtest/gtest.h>

#include <deque>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace {

using Log = std::vector<std::string>;

// Records every call in a log it shares with the sink, so boxes appear in their place.
class CRecordingPort : public platform::ISerialPort {
  public:
    explicit CRecordingPort(std::shared_ptr<Log> log) : log(std::move(log)) {}

    int Open(const std::string& name) override {
        if (!Step("Open " + name, "Open")) {
            return 0;
        }
        open = true;
        return 1;
    }
    bool IsOpen() const override { return open; }
    int SetQueueSizes(uint32_t in, uint32_t out) override {
        return Step("SetQueueSizes " + std::to_string(in) + " " + std::to_string(out),
                    "SetQueueSizes");
    }
    int GetLineState(platform::SerialLineState& state) override {
        state = reported;
        return Step("GetLineState", "GetLineState");
    }
    int SetLineState(const platform::SerialLineState& state) override {
        written = state;
        return Step("SetLineState", "SetLineState");
    }
    int SetEventMask(uint32_t mask) override {
        return Step("SetEventMask " + std::to_string(mask), "SetEventMask");
    }
    int GetTimeouts(platform::SerialTimeouts& t) override {
        t = platform::SerialTimeouts{1, 2, 3, 4, 5};
        return Step("GetTimeouts", "GetTimeouts");
    }
    int SetTimeouts(const platform::SerialTimeouts& t) override {
        timeouts = t;
        return Step("SetTimeouts", "SetTimeouts");
    }
    int ClearError(uint32_t& queued) override {
        queued = 0;
        if (!queueCounts.empty()) {
            queued = queueCounts.front();
            queueCounts.pop_front();
        }
        return Step("ClearError", "ClearError");
    }
    int WaitOutputDrained(uint32_t) override { return Step("WaitOutputDrained", ""); }
    int WaitReadable(uint32_t ms) override {
        log->push_back("WaitReadable " + std::to_string(ms));
        return 1;
    }
    int Read(uint8_t* buffer, uint32_t max, uint32_t& count) override {
        count = std::min<uint32_t>(max, static_cast<uint32_t>(incoming.size()));
        std::copy_n(incoming.begin(), count, buffer);
        return Step("Read " + std::to_string(max), "Read");
    }
    int Write(const uint8_t*, uint32_t count, uint32_t& moved) override {
        moved = writeMoves < 0 ? count : static_cast<uint32_t>(writeMoves);
        return Step("Write " + std::to_string(count), "Write");
    }
    int Close() override {
        open = false;
        return Step("Close", "Close");
    }
    std::string LastErrorText() const override {
        log->push_back("LastErrorText");
        return "text of " + failing;
    }

    std::string failing;  // the operation that fails
    platform::SerialLineState reported;
    platform::SerialLineState written;
    platform::SerialTimeouts timeouts;
    std::deque<uint32_t> queueCounts;  // what successive ClearError calls report
    std::string incoming;
    int writeMoves = -1;  // bytes a Write reports; -1: all

  private:
    bool Step(const std::string& entry, const std::string& name) {
        log->push_back(entry);
        return name != failing;
    }

    std::shared_ptr<Log> log;
    bool open = false;
};

class CRecordingPorts : public platform::ISerialPorts {
  public:
    std::unique_ptr<platform::ISerialPort> CreatePort() override {
        auto made = std::make_unique<CRecordingPort>(log);
        port = made.get();
        return made;
    }
    std::shared_ptr<Log> log = std::make_shared<Log>();
    CRecordingPort* port = nullptr;
};

class CRecordingSink : public platform::IMessageBoxSink {
  public:
    explicit CRecordingSink(std::shared_ptr<Log> log) : log(std::move(log)) {}
    void Show(const std::string& text, const std::string& caption) override {
        log->push_back("Show " + text + " | " + caption);
        ++shown;
    }
    std::shared_ptr<Log> log;
    int shown = 0;
};

class SerialLinkTest : public ::testing::Test {
  protected:
    std::unique_ptr<CSerialLink> MakeLink(SerialSettings settings = {"COM2", 19200, 8, 0, 0, 0}) {
        auto link = std::make_unique<CSerialLink>(settings, services);
        port().reported.xonChar = 0x21;  // fields the link does not set must survive
        port().reported.xoffChar = 0x22;
        port().reported.fNull = true;
        port().reported.fAbortOnError = true;
        return link;
    }
    CRecordingPort& port() { return *ports.port; }
    Log& log() { return *ports.log; }

    CRecordingPorts ports;
    CRecordingSink sink{ports.log};
    platform::Platform services{&ports, nullptr, &sink};
};

const Log OPEN_CALLS = {"Open COM2",    "SetQueueSizes 1024 1024", "GetLineState",
                        "SetLineState", "SetEventMask 0",          "GetTimeouts",
                        "SetTimeouts"};

TEST_F(SerialLinkTest, OpenProgramsThePortInOrder) {
    auto link = MakeLink({"COM2", 9600, 7, 2, 2, 0});
    ASSERT_EQ(link->Open(), 1);
    EXPECT_EQ(log(), OPEN_CALLS);
    EXPECT_EQ(sink.shown, 0);

    const platform::SerialLineState& s = port().written;
    EXPECT_EQ(s.baudRate, 9600u);
    EXPECT_EQ(s.byteSize, 7);
    EXPECT_EQ(s.parity, platform::EVENPARITY);
    EXPECT_EQ(s.stopBits, platform::TWOSTOPBITS);
    EXPECT_TRUE(s.fBinary);
    EXPECT_TRUE(s.fParity);
    EXPECT_TRUE(s.fTXContinueOnXoff);
    EXPECT_FALSE(s.fDsrSensitivity || s.fErrorChar || s.fNull || s.fAbortOnError);
    EXPECT_EQ(s.xonChar, 0x21);
    EXPECT_EQ(s.xoffChar, 0x22);

    const platform::SerialTimeouts& t = port().timeouts;
    EXPECT_EQ(t.readInterval, platform::MAXDWORD);
    EXPECT_EQ(t.readTotalMultiplier, 0u);
    EXPECT_EQ(t.readTotalConstant, 0u);
    EXPECT_EQ(t.writeTotalMultiplier, 2000u);
    EXPECT_EQ(t.writeTotalConstant, 0u);

    // The settings as corrected, not as asked.
    EXPECT_EQ(MakeLink({"COM3", 115200, 9, 7, 3, 4})->Settings().baudRate, 19200u);
}

TEST_F(SerialLinkTest, FlowControlModesSetTheirFields) {
    using namespace platform;
    struct Row {
        int mode;
        bool cts, dsr;
        uint8_t dtr, rts;
        bool outX, inX;
    };
    const Row rows[] = {
        {0, false, false, DTR_CONTROL_DISABLE, RTS_CONTROL_DISABLE, false, false},
        {1, true, false, DTR_CONTROL_DISABLE, RTS_CONTROL_HANDSHAKE, false, false},
        {2, false, true, DTR_CONTROL_HANDSHAKE, RTS_CONTROL_DISABLE, false, false},
        {3, false, false, DTR_CONTROL_DISABLE, RTS_CONTROL_DISABLE, true, true},
        {-1, false, false, DTR_CONTROL_DISABLE, RTS_CONTROL_DISABLE, false, false},
    };
    for (const Row& row : rows) {
        auto link = MakeLink({"COM1", 19200, 8, 0, 0, row.mode});
        // The port reports every handshake on: each one the mode does not use must go.
        port().reported.fOutxCtsFlow = port().reported.fOutxDsrFlow = true;
        port().reported.fDtrControl = DTR_CONTROL_ENABLE;
        port().reported.fRtsControl = RTS_CONTROL_ENABLE;
        port().reported.fOutX = port().reported.fInX = true;
        ASSERT_EQ(link->ApplySettings(), 1);
        const SerialLineState& s = port().written;
        EXPECT_EQ(s.fOutxCtsFlow, row.cts) << row.mode;
        EXPECT_EQ(s.fOutxDsrFlow, row.dsr) << row.mode;
        EXPECT_EQ(s.fDtrControl, row.dtr) << row.mode;
        EXPECT_EQ(s.fRtsControl, row.rts) << row.mode;
        EXPECT_EQ(s.fOutX, row.outX) << row.mode;
        EXPECT_EQ(s.fInX, row.inX) << row.mode;
        EXPECT_FALSE(s.fParity) << row.mode;
    }
}

TEST_F(SerialLinkTest, AFailureAtEachStepStopsOpenWithOneBoxAndLeavesTheHandleToClose) {
    const std::string steps[] = {"Open",         "SetQueueSizes", "GetLineState", "SetLineState",
                                 "SetEventMask", "GetTimeouts",   "SetTimeouts"};
    for (size_t i = 0; i < std::size(steps); ++i) {
        log().clear();
        sink.shown = 0;
        {
            auto link = MakeLink();
            port().failing = steps[i];
            EXPECT_EQ(link->Open(), 0) << steps[i];
            Log expected(OPEN_CALLS.begin(), OPEN_CALLS.begin() + static_cast<long>(i) + 1);
            expected.push_back("LastErrorText");  // read before anything else happens
            expected.push_back("Show text of " + steps[i] + " | Error");
            expected.push_back("ClearError");
            EXPECT_EQ(log(), expected) << steps[i];
            EXPECT_EQ(sink.shown, 1) << steps[i];
            log().clear();
        }
        // Destruction closes a handle that was obtained, and makes no call otherwise.
        EXPECT_EQ(log(), i == 0 ? Log{} : Log{"Close"}) << steps[i];
    }
}

TEST_F(SerialLinkTest, ReadClearsErrorsThenReadsAndReportsFailures) {
    auto link = MakeLink();
    ASSERT_EQ(link->Open(), 1);
    log().clear();
    port().incoming = "abc";
    uint8_t buffer[64] = {};
    uint32_t count = 64;
    ASSERT_EQ(link->Read(count, buffer), 1);
    EXPECT_EQ(count, 3u);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(buffer), 3), "abc");
    EXPECT_EQ(log(), (Log{"ClearError", "Read 64"}));

    for (const std::string failing : {"ClearError", "Read"}) {
        log().clear();
        port().failing = failing;
        count = 64;
        EXPECT_EQ(link->Read(count, buffer), 0);
        EXPECT_EQ(count, 0u) << "a failed read hands back no bytes";
        const Log expected = failing == "Read"
                                 ? Log{"ClearError", "Read 64", "LastErrorText",
                                       "Show text of Read | Error", "ClearError"}
                                 : Log{"ClearError", "LastErrorText",
                                       "Show text of ClearError | Error", "ClearError"};
        EXPECT_EQ(log(), expected);
    }
    port().failing.clear();
    log().clear();
    EXPECT_EQ(link->WaitForInput(20), 1);
    EXPECT_EQ(log(), Log{"WaitReadable 20"});
}

TEST_F(SerialLinkTest, WriteBlockWaitsOnThePlatformUntilTheQueueIsEmpty) {
    auto link = MakeLink();
    ASSERT_EQ(link->Open(), 1);
    log().clear();
    const uint8_t text[] = {'W', 'e', 'l', 'c', 'o', 'm', 'e'};

    EXPECT_EQ(link->WriteBlock(0, text), 1);
    EXPECT_TRUE(log().empty()) << "count 0 makes no platform call";

    port().queueCounts = {5, 2, 0};
    EXPECT_EQ(link->WriteBlock(7, text), 1);
    EXPECT_EQ(log(), (Log{"Write 7", "ClearError", "WaitOutputDrained", "ClearError",
                          "WaitOutputDrained", "ClearError"}));

    log().clear();
    port().writeMoves = 3;  // part of the block still counts as written
    EXPECT_EQ(link->WriteBlock(7, text), 1);
    EXPECT_EQ(log(), (Log{"Write 7", "ClearError"}));
    EXPECT_EQ(sink.shown, 0);
}

TEST_F(SerialLinkTest, WriteFailuresShowOneBox) {
    auto link = MakeLink();
    ASSERT_EQ(link->Open(), 1);
    const uint8_t byte = 'x';

    log().clear();
    port().writeMoves = 0;
    EXPECT_EQ(link->WriteBlock(1, &byte), 0);
    // The time-out leaves the port's error state alone.
    EXPECT_EQ(log(), (Log{"Write 1", "Show Serial port writing time-out ! | Error"}));

    log().clear();
    port().writeMoves = -1;
    port().failing = "Write";
    EXPECT_EQ(link->WriteBlock(1, &byte), 0);
    EXPECT_EQ(log(), (Log{"Write 1", "LastErrorText", "Show text of Write | Error", "ClearError"}));

    log().clear();
    port().failing = "ClearError";
    port().queueCounts = {4};
    EXPECT_EQ(link->WriteBlock(1, &byte), 0);
    EXPECT_EQ(log(), (Log{"Write 1", "ClearError", "LastErrorText",
                          "Show text of ClearError | Error", "ClearError"}));
    EXPECT_EQ(sink.shown, 3);
}

TEST_F(SerialLinkTest, CloseClosesOnceAndReportsAFailedClose) {
    {
        auto link = MakeLink();
        ASSERT_EQ(link->Open(), 1);
        log().clear();
        EXPECT_EQ(link->Close(), 1);
        EXPECT_EQ(link->Close(), 1);
        EXPECT_EQ(log(), Log{"Close"});
    }
    EXPECT_EQ(log(), Log{"Close"}) << "destruction after Close makes no call";

    auto link = MakeLink();
    ASSERT_EQ(link->Open(), 1);
    log().clear();
    port().failing = "Close";
    EXPECT_EQ(link->Close(), 0);
    EXPECT_EQ(log(), (Log{"Close", "LastErrorText", "Show text of Close | Error", "ClearError"}));
}

}  // namespace
