// The Win32 comm backend against two COM ports joined back to back.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <future>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "platform/windows/win_serial_port.h"
#include "platform/windows/win_serial_ports.h"

namespace {

using platform::ISerialPort;
using platform::SerialLineState;
using platform::SerialTimeouts;
using Clock = std::chrono::steady_clock;

class WinSerialPortTest : public testing::Test {
  protected:
    void SetUp() override {
        const char* pair = std::getenv("PALVEX_TEST_COM_PAIR");
        const std::string names = pair != nullptr ? pair : "";
        const size_t comma = names.find(',');
        if (comma == std::string::npos) {
            GTEST_SKIP() << "PALVEX_TEST_COM_PAIR (\"COM5,COM6\") names no pair of joined ports";
        }
        a = ports.CreatePort();
        b = ports.CreatePort();
        ASSERT_EQ(a->Open(names.substr(0, comma)), 1) << a->LastErrorText();
        ASSERT_EQ(b->Open(names.substr(comma + 1)), 1) << b->LastErrorText();
        for (ISerialPort* port : {a.get(), b.get()}) {
            SerialLineState state;
            ASSERT_EQ(port->GetLineState(state), 1) << port->LastErrorText();
            state.baudRate = 19200;
            state.byteSize = 8;
            state.parity = platform::NO_PARITY_BIT;
            state.stopBits = platform::STOP_BITS_ONE;
            ASSERT_EQ(port->SetLineState(state), 1) << port->LastErrorText();
            // "Return at once with what has arrived", as the link sets it.
            SerialTimeouts atOnce;
            atOnce.readInterval = platform::TIMEOUT_MAX;
            atOnce.writeTotalConstant = 2000;
            ASSERT_EQ(port->SetTimeouts(atOnce), 1) << port->LastErrorText();
        }
    }

    // Reads until `count` bytes came or 5 s passed, sleeping in WaitReadable between reads.
    static std::vector<uint8_t> ReadBytes(ISerialPort& port, size_t count) {
        std::vector<uint8_t> bytes;
        const Clock::time_point deadline = Clock::now() + std::chrono::seconds(5);
        while (bytes.size() < count && Clock::now() < deadline) {
            port.WaitReadable(100);
            uint8_t buffer[512];
            uint32_t got = 0;
            if (port.Read(buffer, sizeof buffer, got) == 0) {
                break;
            }
            bytes.insert(bytes.end(), buffer, buffer + got);
        }
        return bytes;
    }

    platform::windows::CWinSerialPorts ports;
    std::unique_ptr<ISerialPort> a;
    std::unique_ptr<ISerialPort> b;
};

TEST_F(WinSerialPortTest, SettingsReadBackAsSetAndAReadReturnsAtOnce) {
    SerialLineState state;
    ASSERT_EQ(a->GetLineState(state), 1);
    EXPECT_EQ(state.baudRate, 19200u);
    EXPECT_EQ(state.byteSize, 8);
    EXPECT_EQ(state.parity, platform::NO_PARITY_BIT);
    EXPECT_EQ(state.stopBits, platform::STOP_BITS_ONE);
    SerialTimeouts timeouts;
    ASSERT_EQ(a->GetTimeouts(timeouts), 1);
    EXPECT_EQ(timeouts.readInterval, platform::TIMEOUT_MAX);
    EXPECT_EQ(timeouts.readTotalConstant, 0u);
    EXPECT_EQ(timeouts.writeTotalConstant, 2000u);
    // Rate 0 is refused before it reaches the driver, and the port keeps its rate.
    SerialLineState zero = state;
    zero.baudRate = 0;
    EXPECT_EQ(a->SetLineState(zero), 0);
    EXPECT_FALSE(a->LastErrorText().empty());
    ASSERT_EQ(a->GetLineState(state), 1);
    EXPECT_EQ(state.baudRate, 19200u);

    uint8_t buffer[16];
    uint32_t got = 99;
    const Clock::time_point start = Clock::now();
    EXPECT_EQ(a->Read(buffer, sizeof buffer, got), 1) << a->LastErrorText();
    EXPECT_EQ(got, 0u);
    EXPECT_LT(Clock::now() - start, std::chrono::milliseconds(500));
    uint32_t queued = 99;
    EXPECT_EQ(a->ClearError(queued), 1) << a->LastErrorText();
    EXPECT_EQ(queued, 0u);
}

// Each port reads on one thread while another thread writes on it, both ways at once.
TEST_F(WinSerialPortTest, BytesPassBothWaysWhileEachPortReadsAndWritesOnTwoThreads) {
    std::vector<uint8_t> toB(3000);
    std::vector<uint8_t> toA(3000);
    for (size_t i = 0; i < toB.size(); ++i) {
        toB[i] = static_cast<uint8_t>(i);
        toA[i] = static_cast<uint8_t>(255 - i % 256);
    }
    auto readA = std::async(std::launch::async, [&] { return ReadBytes(*a, toA.size()); });
    auto writeA = std::async(std::launch::async, [&] {
        uint32_t written = 0;
        return a->Write(toB.data(), static_cast<uint32_t>(toB.size()), written) == 1 ? written : 0u;
    });
    uint32_t written = 0;
    ASSERT_EQ(b->Write(toA.data(), static_cast<uint32_t>(toA.size()), written), 1)
        << b->LastErrorText();
    EXPECT_EQ(written, toA.size());
    EXPECT_EQ(ReadBytes(*b, toB.size()), toB);
    EXPECT_EQ(writeA.get(), toB.size());
    EXPECT_EQ(readA.get(), toA);
    uint32_t queued = 99;
    EXPECT_EQ(a->WaitOutputDrained(1000), 1);
    EXPECT_EQ(a->ClearError(queued), 1);
    EXPECT_EQ(queued, 0u);
}

TEST_F(WinSerialPortTest, WaitReadableWakesOnAByteAndOtherwiseTimesOut) {
    Clock::time_point start = Clock::now();
    EXPECT_EQ(b->WaitReadable(300), 0);
    const auto idle = Clock::now() - start;
    EXPECT_GE(idle, std::chrono::milliseconds(250));
    EXPECT_LT(idle, std::chrono::milliseconds(1500));

    // The waiter may start before or after the byte is sent; either way it must wake long
    // before its timeout.
    auto waiter = std::async(std::launch::async, [&] {
        const Clock::time_point began = Clock::now();
        const int result = b->WaitReadable(10000);
        return std::make_pair(result, Clock::now() - began);
    });
    const uint8_t byte = 0x5A;
    uint32_t written = 0;
    ASSERT_EQ(a->Write(&byte, 1, written), 1);
    const auto [result, waited] = waiter.get();
    EXPECT_EQ(result, 1);
    EXPECT_LT(waited, std::chrono::milliseconds(2000));
    EXPECT_EQ(ReadBytes(*b, 1), std::vector<uint8_t>{0x5A});
}

TEST(WinSerialPortErrors, FailuresCarryTheSystemsTextPerThreadAndAClosedPortRefusesAll) {
    platform::windows::CWinSerialPorts ports;
    EXPECT_EQ(ports.DevicePath("COM12"), "\\\\.\\COM12");
    std::unique_ptr<ISerialPort> port = ports.CreatePort();
    EXPECT_EQ(port->Open("COM199"), 0);
    const std::string missing = port->LastErrorText();
    EXPECT_FALSE(missing.empty());
    EXPECT_FALSE(port->IsOpen());
    // A failure on another thread leaves this thread's text alone.
    std::thread([&] {
        uint32_t queued = 0;
        EXPECT_EQ(port->ClearError(queued), 0);
    }).join();
    EXPECT_EQ(port->LastErrorText(), missing);
    uint32_t queued = 0;
    uint8_t buffer[4];
    EXPECT_EQ(port->ClearError(queued), 0);
    EXPECT_EQ(port->Read(buffer, sizeof buffer, queued), 0);
    EXPECT_EQ(port->Write(buffer, sizeof buffer, queued), 0);
    EXPECT_NE(port->LastErrorText(), missing);
    EXPECT_FALSE(port->Gone());
    EXPECT_EQ(port->Close(), 1);
}

}  // namespace
