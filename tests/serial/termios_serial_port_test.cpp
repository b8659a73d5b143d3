// The serial link over the real termios backend on a pseudo-terminal pair: exclusive open,
// line settings, immediate reads, block writes, timeouts, hang-ups and what the user sees.
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "platform/linux/linux_serial_ports.h"
#include "platform/linux/termios_serial_port.h"
#include "serial/serial_link.h"
#include "tests/common/test_support.h"

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;
using Boxes = std::vector<std::string>;  // "caption:text"

// A pty pair whose slave is COM1; the test keeps its own slave handle to look at the
// slave's termios and queues. Boxes are recorded from any thread.
class PtySerialTest : public ::testing::Test {
  protected:
    void SetUp() override {
        char name[256] = {};
        ASSERT_EQ(openpty(&master, &slave, name, nullptr, nullptr), 0) << std::strerror(errno);
        slavePath = name;
    }
    void TearDown() override {
        close(master);
        close(slave);
    }
    Boxes Shown() { return boxes.Entries(); }
    std::unique_ptr<CSerialLink> OpenLink(int expected = 1) {
        auto link =
            std::make_unique<CSerialLink>(SerialSettings{"COM1", 19200, 8, 0, 0, 0}, services);
        EXPECT_EQ(link->Open(), expected);
        return link;
    }
    std::string ReadMaster(size_t bytes) {
        std::string got;
        const auto deadline = Clock::now() + 2s;
        pollfd entry{master, POLLIN, 0};
        char buffer[256];
        while (got.size() < bytes && Clock::now() < deadline) {
            if (poll(&entry, 1, 50) > 0) {
                got.append(buffer, std::max<ssize_t>(0, read(master, buffer, sizeof buffer)));
            }
        }
        return got;
    }

    int master = -1;
    int slave = -1;
    std::string slavePath;
    CRecordingBoxes boxes;
    platform::CLinuxSerialPorts ports{[this] { return std::vector<std::string>{slavePath}; }};
    platform::Platform services{&ports, nullptr, &boxes};
};

TEST_F(PtySerialTest, OpenIsExclusiveRawAndFailuresShowTheSystemsText) {
    {
        auto first = OpenLink();
        termios tio{};
        ASSERT_EQ(tcgetattr(slave, &tio), 0);
        EXPECT_EQ(cfgetospeed(&tio), static_cast<speed_t>(B19200));
        EXPECT_EQ(cfgetispeed(&tio), static_cast<speed_t>(B19200));
        EXPECT_EQ(tio.c_cflag & (CSIZE | PARENB | CSTOPB | CRTSCTS | CREAD | CLOCAL),
                  static_cast<tcflag_t>(CS8 | CREAD | CLOCAL));
        EXPECT_EQ(tio.c_lflag & (ICANON | ECHO | ECHONL | ISIG | IEXTEN), 0u);
        EXPECT_EQ(tio.c_iflag & (IXON | IXOFF | ICRNL | INLCR | IGNCR | ISTRIP | INPCK | BRKINT),
                  0u);
        EXPECT_EQ(tio.c_oflag & OPOST, 0u);
        EXPECT_EQ(tio.c_cc[VMIN] + tio.c_cc[VTIME], 0);
        // A second open fails, also for root, for whom the kernel's exclusive mode does not hold.
        OpenLink(0);
        EXPECT_EQ(Shown(), (Boxes{std::string("Error:") + std::strerror(EBUSY)}));
    }
    OpenLink();  // the first link's destruction released the port

    // A name that does not exist (only COM1 does) and a device path that does not.
    CSerialLink missing({"COM2", 19200, 8, 0, 0, 0}, services);
    EXPECT_EQ(missing.Open(), 0);
    platform::CTermiosSerialPort direct;
    EXPECT_EQ(direct.Open("/dev/palvex-no-such-port"), 0);
    EXPECT_EQ(direct.LastErrorText(), std::strerror(ENOENT));
    EXPECT_EQ(Shown(), (Boxes{std::string("Error:") + std::strerror(EBUSY),
                              std::string("Error:") + std::strerror(ENOENT)}));
}

// Framing both ways (a pty keeps only 8 bits without parity, so these go through the
// mapping), then what a pty keeps: rate, stop bits, flow control; refusals change nothing.
TEST_F(PtySerialTest, LineStateGoesToTermiosAndBackAndUnsupportedModesAreRefused) {
    using namespace platform;
    struct Framing {
        uint8_t bits, parity, stop;
        tcflag_t cflag;
    };
    for (const Framing& c : std::vector<Framing>{
             {8, NO_PARITY_BIT, STOP_BITS_ONE, CS8},
             {7, ODD_PARITY_BIT, STOP_BITS_TWO, CS7 | PARENB | PARODD | CSTOPB},
             {8, EVEN_PARITY_BIT, STOP_BITS_ONE, CS8 | PARENB},
             {7, MARK_PARITY_BIT, STOP_BITS_ONE, CS7 | PARENB | CMSPAR | PARODD},
             {8, SPACE_PARITY_BIT, STOP_BITS_TWO, CS8 | PARENB | CMSPAR | CSTOPB},
         }) {
        uint32_t cflag = 0;
        ASSERT_EQ(FramingToCflag(c.bits, c.parity, c.stop, cflag), 1);
        EXPECT_EQ(cflag, c.cflag) << int{c.parity};
        SerialLineState back;
        CflagToFraming(cflag | CREAD | CLOCAL | B19200, back);
        EXPECT_EQ(std::make_tuple(back.byteSize, back.parity, back.stopBits),
                  std::make_tuple(c.bits, c.parity, c.stop));
    }
    uint32_t cflag = 0;
    EXPECT_EQ(FramingToCflag(8, NO_PARITY_BIT, STOP_BITS_ONE5, cflag), 0);
    EXPECT_EQ(FramingToCflag(9, NO_PARITY_BIT, STOP_BITS_ONE, cflag), 0);
    EXPECT_EQ(FramingToCflag(8, 5, STOP_BITS_ONE, cflag), 0);

    CTermiosSerialPort port;
    ASSERT_EQ(port.Open(slavePath), 1) << port.LastErrorText();
    SerialLineState base;
    ASSERT_EQ(port.GetLineState(base), 1);
    SerialLineState state = base;
    state.baudRate = 9600;
    state.stopBits = STOP_BITS_TWO;
    state.fOutxCtsFlow = state.fOutX = state.fInX = true;
    state.fRtsControl = RTS_HANDSHAKE;
    ASSERT_EQ(port.SetLineState(state), 1) << port.LastErrorText();
    SerialLineState back;
    ASSERT_EQ(port.GetLineState(back), 1);
    EXPECT_EQ(
        std::make_tuple(back.baudRate, back.stopBits, back.fOutxCtsFlow, back.fOutX, back.fInX),
        std::make_tuple(9600u, STOP_BITS_TWO, true, true, true));
    termios tio{};
    ASSERT_EQ(tcgetattr(slave, &tio), 0);
    EXPECT_EQ(cfgetospeed(&tio), static_cast<speed_t>(B9600));

    SerialLineState refused = base;
    refused.stopBits = STOP_BITS_ONE5;
    EXPECT_EQ(port.SetLineState(refused), 0);
    EXPECT_EQ(port.LastErrorText(), std::strerror(EINVAL));
    refused = base;
    refused.fOutxDsrFlow = true;
    refused.fDtrControl = DTR_HANDSHAKE;
    EXPECT_EQ(port.SetLineState(refused), 0);
    EXPECT_NE(port.LastErrorText().find("DTR/DSR"), std::string::npos) << port.LastErrorText();
    ASSERT_EQ(port.GetLineState(refused), 1);
    EXPECT_EQ(refused.baudRate, 9600u) << "a refused state changes nothing";
}

TEST_F(PtySerialTest, ReadsReturnAtOnceAndWritesWhileTheWorkerReads) {
    auto link = OpenLink();
    uint8_t buffer[64];
    uint32_t count = 64;
    auto start = Clock::now();
    ASSERT_EQ(link->Read(count, buffer), 1);
    EXPECT_EQ(count, 0u);
    EXPECT_LT(Clock::now() - start, 100ms * TIME_SCALE);
    start = Clock::now();
    EXPECT_EQ(link->WaitForInput(60), 0);  // an idle reader sleeps for the time it asked for
    EXPECT_GE(Clock::now() - start, 50ms);

    // 100 bytes waiting are read as 64, then 36, then nothing.
    std::string sent;
    for (int i = 0; i < 100; ++i) {
        sent.push_back(static_cast<char>(i * 7));
    }
    ASSERT_EQ(write(master, sent.data(), sent.size()), 100);
    int waiting = 0;  // the pty may hand the bytes over in parts
    for (const auto deadline = Clock::now() + 2s; waiting < 100 && Clock::now() < deadline;) {
        link->WaitForInput(5);
        ioctl(slave, FIONREAD, &waiting);
    }
    std::string got;
    for (uint32_t expected : {64u, 36u, 0u}) {
        count = 64;
        ASSERT_EQ(link->Read(count, buffer), 1);
        EXPECT_EQ(count, expected);
        got.append(reinterpret_cast<char*>(buffer), count);
    }
    EXPECT_EQ(got, sent);

    // "Welcome" arrives and WriteBlock returns with an empty output queue; then the GUI
    // thread writes blocks while a worker reads 2000 bytes, every byte once and in order.
    const std::string welcome = "Welcome";
    ASSERT_EQ(link->WriteBlock(7, reinterpret_cast<const uint8_t*>(welcome.data())), 1);
    int queued = -1;
    ASSERT_EQ(ioctl(slave, TIOCOUTQ, &queued), 0);
    EXPECT_EQ(queued, 0);
    EXPECT_EQ(ReadMaster(7), welcome);

    std::string incoming, received, outgoing;
    for (int i = 0; i < 2000; ++i) {
        incoming.push_back(static_cast<char>('a' + i % 26));
    }
    std::thread worker([&] {
        const auto deadline = Clock::now() + 5s;
        while (received.size() < incoming.size() && Clock::now() < deadline) {
            uint32_t n = 64;
            if (link->WaitForInput(50) == 1 && link->Read(n, buffer) == 1) {
                received.append(reinterpret_cast<char*>(buffer), n);
            }
        }
    });
    ASSERT_EQ(write(master, incoming.data(), incoming.size()), 2000);
    for (int block = 0; block < 32; ++block) {
        const std::string text = "block " + std::to_string(block) + ";";
        ASSERT_EQ(link->WriteBlock(text.size(), reinterpret_cast<const uint8_t*>(text.data())), 1);
        outgoing += text;
    }
    EXPECT_EQ(ReadMaster(outgoing.size()), outgoing);
    worker.join();
    EXPECT_EQ(received, incoming);
    EXPECT_TRUE(Shown().empty());
}

// Another program's lock turns the open away and leaves the port as it was: its echo and
// line editing back, no exclusive mode. A port of ours is exclusive, and lowers DTR and RTS before
// any setting; a device that refuses line control (USB CDC: EPIPE, EOPNOTSUPP) is still taken.
TEST_F(PtySerialTest, OpenLocksFirstLowersTheLinesAtOnceAndSurvivesRefusedLineControl) {
    int exclusive = -1;
    termios theirs{};
    ASSERT_EQ(tcgetattr(slave, &theirs), 0);
    theirs.c_lflag |= ECHO | ICANON;
    ASSERT_EQ(tcsetattr(slave, TCSANOW, &theirs), 0);
    ASSERT_EQ(flock(slave, LOCK_EX | LOCK_NB), 0);
    platform::CTermiosSerialPort port;
    EXPECT_EQ(port.Open(slavePath), 0);
    EXPECT_EQ(port.LastErrorText(), std::strerror(EBUSY));
    ASSERT_EQ(ioctl(slave, TIOCGEXCL, &exclusive), 0);
    EXPECT_EQ(exclusive, 0);
    ASSERT_EQ(tcgetattr(slave, &theirs), 0);
    EXPECT_EQ(theirs.c_lflag & (ECHO | ICANON), static_cast<tcflag_t>(ECHO | ICANON));
    ASSERT_EQ(flock(slave, LOCK_UN), 0);

    // The open line stops echoing and translating at once: what a board sends before the line
    // settings would otherwise go back to it. What a cooked line took in before is dropped,
    // what comes after passes untouched; a line left raw keeps what it holds.
    const auto sendAndWait = [&](const std::string& bytes) {
        ASSERT_EQ(write(master, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
        pollfd entry{slave, POLLIN, 0};
        ASSERT_EQ(poll(&entry, 1, 2000), 1);
    };
    const auto readAll = [](platform::CTermiosSerialPort& port, uint32_t bytes) {
        port.SetTimeouts(platform::SerialTimeouts{0, 0, 2000, 0, 0});
        std::string got(bytes, '\0');
        uint32_t count = 0;
        port.Read(reinterpret_cast<uint8_t*>(got.data()), bytes, count);
        return got.substr(0, count);
    };
    {
        theirs.c_iflag |= ICRNL;  // still their cooked line, now translating CR too
        ASSERT_EQ(tcsetattr(slave, TCSANOW, &theirs), 0);
        sendAndWait("early\r");
        platform::CTermiosSerialPort quiet;
        ASSERT_EQ(quiet.Open(slavePath), 1);
        ASSERT_EQ(write(master, "x\ry", 3), 3);
        EXPECT_EQ(readAll(quiet, 3), "x\ry");
    }
    {
        sendAndWait("kept");
        platform::CTermiosSerialPort again;
        ASSERT_EQ(again.Open(slavePath), 1);
        EXPECT_EQ(readAll(again, 4), "kept");
    }

    // Records the ioctls in order and refuses line control the way the device would.
    struct CRefusingPort : platform::CTermiosSerialPort {
        using CTermiosSerialPort::CTermiosSerialPort;
        int Control(int handle, unsigned long request, void* argument) override {
            calls.emplace_back(request, request == TIOCMBIC ? *static_cast<int*>(argument) : 0);
            if (request == TIOCMBIC || request == TIOCMBIS) {
                errno = refusal;
                return -1;
            }
            return CTermiosSerialPort::Control(handle, request, argument);
        }
        int refusal = 0;
        std::vector<std::pair<unsigned long, int>> calls;
    };
    struct CRefusingPorts : platform::ISerialPorts {
        std::unique_ptr<platform::ISerialPort> CreatePort() override {
            auto made =
                std::make_unique<CRefusingPort>([this](const std::string&) { return path; });
            made->refusal = refusal;
            last = made.get();
            return made;
        }
        std::string path;
        int refusal = 0;
        CRefusingPort* last = nullptr;
    } refusing;
    refusing.path = slavePath;
    services.serialPorts = &refusing;
    for (int refusal : {EPIPE, EOPNOTSUPP}) {
        refusing.refusal = refusal;
        auto link = OpenLink();
        // The echo stops first, then the port is made exclusive and the lines go down.
        const auto& calls = refusing.last->calls;
        ASSERT_GE(calls.size(), 5u);
        // TCGETS2 and TCSETS2 (0x2A, 0x2B), named by number: their struct is the kernel's.
        EXPECT_EQ(_IOC_NR(calls[0].first), 0x2Au);
        EXPECT_EQ(_IOC_NR(calls[1].first), 0x2Bu);
        EXPECT_EQ(calls[2].first, static_cast<unsigned long>(TIOCEXCL));
        EXPECT_EQ(calls[3],
                  std::make_pair(static_cast<unsigned long>(TIOCMBIC), TIOCM_DTR | TIOCM_RTS));
        ASSERT_EQ(ioctl(slave, TIOCGEXCL, &exclusive), 0);
        EXPECT_EQ(exclusive, 1);
    }
    EXPECT_TRUE(Shown().empty());
}

// A hang-up as a pty's (master closed: EIO) and as an unplugged USB port's (the kernel's
// vhangup: reads end of file, ioctls fail with EIO): the port is gone for good, and the link
// shows none of the failures that follow on both threads: its owner names the port instead.
// A line that only stops taking data is not gone: a write that cannot move a byte times out.
TEST_F(PtySerialTest, AStuckWriteTimesOutAndAHungUpPortIsGoneAndLeftToItsOwner) {
    auto link = OpenLink();
    close(master);
    master = -1;
    uint8_t buffer[64];
    uint32_t count = 64;
    EXPECT_EQ(link->WaitForInput(1000), 1);
    EXPECT_EQ(link->Read(count, buffer), 0);
    EXPECT_TRUE(link->PortGone());
    EXPECT_EQ(link->WriteBlock(1, buffer), 0);
    EXPECT_TRUE(Shown().empty());
    link.reset();

    char name[256] = {};
    close(slave);
    ASSERT_EQ(openpty(&master, &slave, name, nullptr, nullptr), 0);
    platform::CTermiosSerialPort port;
    ASSERT_EQ(port.Open(name), 1);
    // Nobody reads the master: fill the pty until it takes no more.
    ASSERT_EQ(port.SetTimeouts({platform::TIMEOUT_MAX, 0, 0, 0, 20}), 1);
    const std::vector<uint8_t> block(1 << 16, 'x');
    uint32_t written = block.size();
    for (int i = 0; i < 64 && written == block.size(); ++i) {
        ASSERT_EQ(port.Write(block.data(), block.size(), written), 1);
    }
    ASSERT_LT(written, block.size()) << "the pty never filled up";
    ASSERT_EQ(port.SetTimeouts({platform::TIMEOUT_MAX, 0, 0, 1, 20}), 1);
    const auto start = Clock::now();
    ASSERT_EQ(port.Write(block.data(), 1, written), 1);
    EXPECT_EQ(written, 0u);
    EXPECT_GE(Clock::now() - start, 20ms);  // 1 ms per byte plus 20 ms
    EXPECT_LT(Clock::now() - start, 1s);
    ASSERT_EQ(port.Read(buffer, 64, count), 1);
    EXPECT_EQ(count, 0u);  // an idle line reads nothing at once, and is not gone
    EXPECT_FALSE(port.Gone());
    if (ioctl(slave, TIOCVHANGUP) != 0) {
        GTEST_SKIP() << "vhangup needs CAP_SYS_ADMIN: " << std::strerror(errno);
    }
    EXPECT_EQ(port.WaitReadable(1000), 1);
    EXPECT_EQ(port.Read(buffer, 64, count), 0);
    EXPECT_EQ(port.LastErrorText(), std::strerror(EIO));
    EXPECT_TRUE(port.Gone());
    EXPECT_EQ(port.Close(), 1);
}

}  // namespace

// Linux cdc-acm counts a whole transfer buffer as queued while it is in flight: a block of
// eight bytes reads as 1280. The wait for the queue to empty is paced by the bytes really
// written, so a round trip over such a port costs their line time, not 50 ms.
TEST_F(PtySerialTest, AQueueCountedInWholeBuffersIsPacedByTheBytesWritten) {
    struct CBufferCountingPort : platform::CTermiosSerialPort {
        using CTermiosSerialPort::CTermiosSerialPort;
        int Control(int handle, unsigned long request, void* argument) override {
            if (request == TIOCOUTQ && inFlightChecks > 0) {
                --inFlightChecks;
                *static_cast<int*>(argument) = 1280;
                return 0;
            }
            return CTermiosSerialPort::Control(handle, request, argument);
        }
        int inFlightChecks = 0;
    };
    struct CBufferCountingPorts : platform::ISerialPorts {
        std::unique_ptr<platform::ISerialPort> CreatePort() override {
            auto made =
                std::make_unique<CBufferCountingPort>([this](const std::string&) { return path; });
            last = made.get();
            return made;
        }
        std::string path;
        CBufferCountingPort* last = nullptr;
    } counting;
    counting.path = slavePath;
    services.serialPorts = &counting;
    auto link = OpenLink();
    const uint8_t block[8] = {'0', '1', '2', '3', '4', '5', '6', '7'};
    for (int round = 0; round < 3; ++round) {
        // Seen in flight after the write and at the first check; empty at the next.
        counting.last->inFlightChecks = 2;
        const auto start = Clock::now();
        ASSERT_EQ(link->WriteBlock(sizeof block, block), 1);
        const auto took = Clock::now() - start;
        EXPECT_GE(took, 4ms) << "eight bytes take 4.2 ms on a 19200 line";
        EXPECT_LT(took, 25ms) << "paced by 1280 bytes, the check sleeps 50 ms";
        EXPECT_EQ(ReadMaster(sizeof block), std::string(block, block + sizeof block));
    }
    EXPECT_TRUE(Shown().empty());
}
