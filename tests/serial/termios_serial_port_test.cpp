// The serial link over the real termios backend on a pseudo-terminal pair: exclusive open,
// line settings, immediate reads, block writes, timeouts and what the user sees.
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "platform/linux/linux_serial_ports.h"
#include "platform/linux/termios_serial_port.h"
#include "serial/serial_link.h"

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

class CRecordingSink : public platform::IMessageBoxSink {
  public:
    void Show(const std::string& text, const std::string& caption) override {
        std::lock_guard<std::mutex> hold(mutex);
        boxes.emplace_back(text, caption);
    }
    std::vector<std::pair<std::string, std::string>> Boxes() {
        std::lock_guard<std::mutex> hold(mutex);
        return boxes;
    }

  private:
    std::mutex mutex;
    std::vector<std::pair<std::string, std::string>> boxes;
};

using Boxes = std::vector<std::pair<std::string, std::string>>;

// A pty pair whose slave is COM1. The test keeps its own slave handle to look at the
// slave's termios and queues.
class PtySerialTest : public ::testing::Test {
  protected:
    void SetUp() override {
        char name[256] = {};
        ASSERT_EQ(openpty(&master, &slave, name, nullptr, nullptr), 0) << std::strerror(errno);
        slavePath = name;
    }
    void TearDown() override {
        if (master >= 0) {
            close(master);
        }
        close(slave);
    }

    std::unique_ptr<CSerialLink> OpenLink() {
        auto link =
            std::make_unique<CSerialLink>(SerialSettings{"COM1", 19200, 8, 0, 0, 0}, services);
        EXPECT_EQ(link->Open(), 1);
        return link;
    }

    // Waits until the slave has `bytes` bytes waiting, within a bounded time.
    bool WaitForSlaveInput(int bytes) {
        const Clock::time_point deadline = Clock::now() + 2s;
        int waiting = 0;
        while (ioctl(slave, FIONREAD, &waiting) == 0 && waiting < bytes) {
            if (Clock::now() > deadline) {
                return false;
            }
            pollfd entry{slave, POLLIN, 0};
            poll(&entry, 1, 5);
            if (waiting > 0) {
                std::this_thread::sleep_for(1ms);  // the rest is on its way through the pty
            }
        }
        return waiting == bytes;
    }

    std::string ReadMaster(size_t bytes) {
        std::string got;
        const Clock::time_point deadline = Clock::now() + 2s;
        while (got.size() < bytes && Clock::now() < deadline) {
            pollfd entry{master, POLLIN, 0};
            if (poll(&entry, 1, 50) > 0) {
                char buffer[256];
                const ssize_t n = read(master, buffer, sizeof buffer);
                if (n > 0) {
                    got.append(buffer, static_cast<size_t>(n));
                }
            }
        }
        return got;
    }

    int master = -1;
    int slave = -1;
    std::string slavePath;
    platform::CLinuxSerialPorts ports{[this] { return std::vector<std::string>{slavePath}; }};
    CRecordingSink sink;
    platform::Platform services{&ports, nullptr, &sink};
};

TEST_F(PtySerialTest, OpenIsExclusiveUntilClosed) {
    EXPECT_EQ(ports.DevicePath("COM1"), slavePath);
    {
        auto first = OpenLink();
        CSerialLink second({"COM1", 19200, 8, 0, 0, 0}, services);
        EXPECT_EQ(second.Open(), 0);
        // Also when the test runs as root, for whom the kernel's exclusive mode does not hold.
        EXPECT_EQ(sink.Boxes(), (Boxes{{std::strerror(EBUSY), "Error"}}));
    }
    auto again = OpenLink();  // the first link's destruction released the port
    EXPECT_EQ(sink.Boxes().size(), 1u);
}

TEST_F(PtySerialTest, OpenSetsTheLineTo19200EightNoneOneRaw) {
    auto link = OpenLink();
    termios tio{};
    ASSERT_EQ(tcgetattr(slave, &tio), 0);
    EXPECT_EQ(cfgetospeed(&tio), static_cast<speed_t>(B19200));
    EXPECT_EQ(cfgetispeed(&tio), static_cast<speed_t>(B19200));
    EXPECT_EQ(tio.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
    EXPECT_EQ(tio.c_cflag & (PARENB | CSTOPB | CRTSCTS), 0u);
    EXPECT_EQ(tio.c_cflag & (CREAD | CLOCAL), static_cast<tcflag_t>(CREAD | CLOCAL));
    EXPECT_EQ(tio.c_lflag & (ICANON | ECHO | ECHONL | ISIG | IEXTEN), 0u);
    EXPECT_EQ(tio.c_iflag & (IXON | IXOFF | ICRNL | INLCR | IGNCR | ISTRIP | INPCK | BRKINT), 0u);
    EXPECT_EQ(tio.c_oflag & OPOST, 0u);
    EXPECT_EQ(tio.c_cc[VMIN], 0);
    EXPECT_EQ(tio.c_cc[VTIME], 0);
    EXPECT_TRUE(sink.Boxes().empty());
}

TEST(TermiosFraming, SizeParityAndStopBitsMapToCflagAndBack) {
    struct Case {
        uint8_t bits, parity, stop;
        tcflag_t cflag;
    };
    const Case cases[] = {
        {8, platform::NOPARITY, platform::ONESTOPBIT, CS8},
        {7, platform::ODDPARITY, platform::TWOSTOPBITS, CS7 | PARENB | PARODD | CSTOPB},
        {8, platform::EVENPARITY, platform::ONESTOPBIT, CS8 | PARENB},
        {7, platform::MARKPARITY, platform::ONESTOPBIT, CS7 | PARENB | CMSPAR | PARODD},
        {8, platform::SPACEPARITY, platform::TWOSTOPBITS, CS8 | PARENB | CMSPAR | CSTOPB},
    };
    for (const Case& c : cases) {
        uint32_t cflag = 0;
        ASSERT_EQ(platform::FramingToCflag(c.bits, c.parity, c.stop, cflag), 1);
        EXPECT_EQ(cflag, c.cflag) << int{c.parity};
        platform::SerialLineState back;
        platform::CflagToFraming(cflag | CREAD | CLOCAL | B19200, back);
        EXPECT_EQ(back.byteSize, c.bits) << int{c.parity};
        EXPECT_EQ(back.parity, c.parity);
        EXPECT_EQ(back.stopBits, c.stop) << int{c.parity};
    }
    uint32_t cflag = 0;
    EXPECT_EQ(platform::FramingToCflag(8, platform::NOPARITY, platform::ONE5STOPBITS, cflag), 0);
    EXPECT_EQ(platform::FramingToCflag(9, platform::NOPARITY, platform::ONESTOPBIT, cflag), 0);
    EXPECT_EQ(platform::FramingToCflag(8, 5, platform::ONESTOPBIT, cflag), 0);
}

// A pty always keeps 8 bits without parity; rates, stop bits and flow control it keeps.
TEST_F(PtySerialTest, LineStateGoesToTermiosAndBackAndUnsupportedModesAreRefused) {
    platform::CTermiosSerialPort port;
    ASSERT_EQ(port.Open(slavePath), 1) << port.LastErrorText();
    platform::SerialLineState base;
    ASSERT_EQ(port.GetLineState(base), 1);

    struct Case {
        uint32_t rate;
        uint8_t stop;
        bool cts, xon;
    };
    const Case cases[] = {
        {14400, platform::TWOSTOPBITS, false, true},
        {300, platform::ONESTOPBIT, true, false},
        {57600, platform::ONESTOPBIT, false, false},
        {9600, platform::TWOSTOPBITS, true, true},
    };
    for (const Case& c : cases) {
        platform::SerialLineState state = base;
        state.baudRate = c.rate;
        state.stopBits = c.stop;
        state.fOutxCtsFlow = c.cts;
        state.fRtsControl = c.cts ? platform::RTS_CONTROL_HANDSHAKE : platform::RTS_CONTROL_DISABLE;
        state.fOutX = state.fInX = c.xon;
        state.xonChar = 0x01;
        ASSERT_EQ(port.SetLineState(state), 1) << c.rate << ": " << port.LastErrorText();
        platform::SerialLineState back;
        ASSERT_EQ(port.GetLineState(back), 1);
        EXPECT_EQ(back.baudRate, c.rate);
        EXPECT_EQ(back.stopBits, c.stop) << c.rate;
        EXPECT_EQ(back.fOutxCtsFlow, c.cts) << c.rate;
        EXPECT_EQ(back.fOutX, c.xon) << c.rate;
        EXPECT_EQ(back.fInX, c.xon) << c.rate;
        EXPECT_EQ(back.xonChar, 0x01) << c.rate;
    }
    termios tio{};
    ASSERT_EQ(tcgetattr(slave, &tio), 0);
    EXPECT_EQ(cfgetospeed(&tio), static_cast<speed_t>(B9600));

    platform::SerialLineState refused = base;
    refused.stopBits = platform::ONE5STOPBITS;
    EXPECT_EQ(port.SetLineState(refused), 0);
    EXPECT_EQ(port.LastErrorText(), std::strerror(EINVAL));
    refused = base;
    refused.fOutxDsrFlow = true;
    refused.fDtrControl = platform::DTR_CONTROL_HANDSHAKE;
    EXPECT_EQ(port.SetLineState(refused), 0);
    EXPECT_NE(port.LastErrorText().find("DTR/DSR"), std::string::npos) << port.LastErrorText();
    platform::SerialLineState after;
    ASSERT_EQ(port.GetLineState(after), 1);
    EXPECT_EQ(after.baudRate, 9600u) << "a refused state changes nothing";
}

TEST_F(PtySerialTest, ReadsReturnAtOnceWithWhatHasArrived) {
    auto link = OpenLink();
    uint8_t buffer[64];
    uint32_t count = 64;
    Clock::time_point start = Clock::now();
    ASSERT_EQ(link->Read(count, buffer), 1);
    EXPECT_EQ(count, 0u);
    EXPECT_LT(Clock::now() - start, 100ms);

    // An idle reader sleeps for the time it asked for.
    start = Clock::now();
    EXPECT_EQ(link->WaitForInput(60), 0);
    EXPECT_GE(Clock::now() - start, 50ms);

    std::string sent;
    for (int i = 0; i < 100; ++i) {
        sent.push_back(static_cast<char>(i * 7));
    }
    ASSERT_EQ(write(master, sent.data(), sent.size()), 100);
    ASSERT_TRUE(WaitForSlaveInput(100));
    EXPECT_EQ(link->WaitForInput(1000), 1);

    count = 64;
    ASSERT_EQ(link->Read(count, buffer), 1);
    ASSERT_EQ(count, 64u);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(buffer), 64), sent.substr(0, 64));
    count = 64;
    ASSERT_EQ(link->Read(count, buffer), 1);
    ASSERT_EQ(count, 36u);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(buffer), 36), sent.substr(64));
    count = 64;
    ASSERT_EQ(link->Read(count, buffer), 1);
    EXPECT_EQ(count, 0u);
    EXPECT_TRUE(sink.Boxes().empty());
}

TEST_F(PtySerialTest, WriteBlockDeliversAndReturnsWithAnEmptyQueue) {
    auto link = OpenLink();
    const std::string welcome = "Welcome";
    ASSERT_EQ(link->WriteBlock(7, reinterpret_cast<const uint8_t*>(welcome.data())), 1);
    int queued = -1;
    ASSERT_EQ(ioctl(slave, TIOCOUTQ, &queued), 0);
    EXPECT_EQ(queued, 0);
    EXPECT_EQ(ReadMaster(7), welcome);
    EXPECT_TRUE(sink.Boxes().empty());
}

TEST_F(PtySerialTest, TheWorkerReadsWhileTheGuiThreadWrites) {
    auto link = OpenLink();
    std::string incoming;
    for (int i = 0; i < 2000; ++i) {
        incoming.push_back(static_cast<char>('a' + i % 26));
    }
    std::string received;
    std::thread worker([&] {
        const Clock::time_point deadline = Clock::now() + 5s;
        while (received.size() < incoming.size() && Clock::now() < deadline) {
            if (link->WaitForInput(50) == 1) {
                uint8_t buffer[64];
                uint32_t count = 64;
                if (link->Read(count, buffer) == 1) {
                    received.append(reinterpret_cast<char*>(buffer), count);
                }
            }
        }
    });
    ASSERT_EQ(write(master, incoming.data(), incoming.size()),
              static_cast<ssize_t>(incoming.size()));
    std::string outgoing;
    for (int block = 0; block < 32; ++block) {
        const std::string text = "block " + std::to_string(block) + ";";
        ASSERT_EQ(link->WriteBlock(static_cast<uint32_t>(text.size()),
                                   reinterpret_cast<const uint8_t*>(text.data())),
                  1);
        outgoing += text;
    }
    EXPECT_EQ(ReadMaster(outgoing.size()), outgoing);
    worker.join();
    EXPECT_EQ(received, incoming);
    EXPECT_TRUE(sink.Boxes().empty());
}

TEST_F(PtySerialTest, AWriteThatCannotMoveAByteTimesOut) {
    platform::CTermiosSerialPort port;
    ASSERT_EQ(port.Open(slavePath), 1);
    platform::SerialLineState state;
    ASSERT_EQ(port.GetLineState(state), 1);
    state.baudRate = 19200;
    ASSERT_EQ(port.SetLineState(state), 1);
    // Nobody reads the master: fill the pty until it takes no more.
    ASSERT_EQ(port.SetTimeouts({platform::MAXDWORD, 0, 0, 0, 20}), 1);
    const std::vector<uint8_t> block(1 << 16, 'x');
    uint32_t written = 0;
    for (int i = 0; i < 64; ++i) {
        ASSERT_EQ(port.Write(block.data(), static_cast<uint32_t>(block.size()), written), 1);
        if (written < block.size()) {
            break;
        }
    }
    ASSERT_LT(written, block.size()) << "the pty never filled up";

    const uint8_t byte = 'y';
    ASSERT_EQ(port.SetTimeouts({platform::MAXDWORD, 0, 0, 1, 20}), 1);
    const Clock::time_point start = Clock::now();
    ASSERT_EQ(port.Write(&byte, 1, written), 1);
    EXPECT_EQ(written, 0u);
    EXPECT_GE(Clock::now() - start, 20ms);  // 1 ms per byte plus 20 ms
    EXPECT_LT(Clock::now() - start, 1s);
}

TEST_F(PtySerialTest, MissingPortsAndAVanishedDeviceShowTheSystemsText) {
    const std::string noSuchFile = std::strerror(ENOENT);
    {
        CSerialLink link({"COM2", 19200, 8, 0, 0, 0}, services);  // only COM1 exists
        EXPECT_EQ(link.Open(), 0);
    }
    platform::CTermiosSerialPort direct;
    EXPECT_EQ(direct.Open("/dev/palvex-no-such-port"), 0);
    EXPECT_EQ(direct.LastErrorText(), noSuchFile);
    EXPECT_EQ(sink.Boxes(), (Boxes{{noSuchFile, "Error"}}));

    auto link = OpenLink();
    close(master);  // the other end goes away, as an unplugged adapter would
    master = -1;
    uint8_t buffer[64];
    uint32_t count = 64;
    EXPECT_EQ(link->WaitForInput(1000), 1);
    EXPECT_EQ(link->Read(count, buffer), 0);
    EXPECT_EQ(count, 0u);
    EXPECT_EQ(sink.Boxes().back(),
              std::make_pair(std::string(std::strerror(EIO)), std::string("Error")));
}

}  // namespace
