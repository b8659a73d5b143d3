// The real Linux backends, the links and the page against the Kit as a USB gadget, on a real
// kernel: the hidraw ioctls, usbhid and cdc_acm, unplug and replug as the kernel reports them,
// stalls, and device permissions. Run by scripts/kernel-test inside its VM.
#include <errno.h>
#include <fcntl.h>
#include <grp.h>
#include <linux/hidraw.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QElapsedTimer>
#include <QLineEdit>
#include <atomic>
#include <chrono>
#include <cstring>
#include <thread>

#include "channel/board_commands.h"
#include "channel/byte_ring.h"
#include "hid/hid_link.h"
#include "serial/serial_link.h"
#include "tests/kernel/kernel_fixture.h"

namespace {

using Clock = std::chrono::steady_clock;

long long MsSince(Clock::time_point start) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

}  // namespace

TEST_F(CRealKernelTest, KitFoundByItsIdsWithReportLengthsFromItsDescriptor) {
    const std::string node = KitHidNode();
    ASSERT_FALSE(node.empty());

    // The kernel hands the vendor over as a negative 16-bit number; the backend must still
    // give 0xD804.
    const int fd = ::open(node.c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_GE(fd, 0) << std::strerror(errno);
    hidraw_devinfo info{};
    ASSERT_EQ(::ioctl(fd, HIDIOCGRAWINFO, &info), 0);
    ::close(fd);
    EXPECT_LT(info.vendor, 0);

    auto hid = platform::CreateSystemHid();
    auto device = hid->Open(node);
    ASSERT_NE(device, nullptr);
    uint16_t vendor = 0, product = 0;
    ASSERT_EQ(device->GetAttributes(vendor, product), 1);
    EXPECT_EQ(vendor, 0xD804);
    EXPECT_EQ(product, 0x0032);
    // 8-byte reports without report ids, plus the id byte the framing counts.
    platform::HidCaps caps;
    ASSERT_EQ(device->GetCaps(caps), 1);
    EXPECT_EQ(caps.inputReportByteLength, 9);
    EXPECT_EQ(caps.outputReportByteLength, 9);
}

TEST_F(CRealPageTest, PageShowsTheVersionAndLedCommandsReachTheBoardByteForByte) {
    kit().SetVersion("R2.31");
    const size_t before = kit().OutputReports().size();
    StartPage();
    ASSERT_EQ_SOON(StatusPaneText(2), std::string("Firmware Version: R2.31"), 8000);
    // The COM scan runs beside the version request and may end after it.
    ASSERT_EQ_SOON(StatusPaneText(0), std::string("Connected"), 8000);
    EXPECT_EQ(StatusPaneText(1), "COM1 : 19200,8,N,1,fN");
    EXPECT_GT(kit().VersionRequests(), 0);

    page->OnLedFlashing();
    ASSERT_TRUE(kit().WaitFor([](const auto& k) { return k.LedFlashing(); }, 3000));
    page->OnLedStop();
    ASSERT_TRUE(kit().WaitFor([](const auto& k) { return !k.LedFlashing(); }, 3000));

    // The board got exactly the page's reports: id 0, length, command, and each byte after
    // it holding its own index.
    const auto all = kit().OutputReports();
    const std::vector<std::vector<uint8_t>> sent(all.begin() + static_cast<long>(before),
                                                 all.end());
    const std::vector<std::vector<uint8_t>> expected = {
        {0, 3, 0x1B, 0x56, 0x76, 5, 6, 7, 8},
        {0, 3, 0x1B, 0x4C, 0x01, 5, 6, 7, 8},
        {0, 3, 0x1B, 0x4C, 0x00, 5, 6, 7, 8},
    };
    EXPECT_EQ(sent, expected);
    EXPECT_TRUE(shown.Entries().empty());
}

TEST_F(CRealKernelTest, BothChannelsEchoEveryByteAtTenTimesTheirLineRate) {
    auto ports = platform::CreateSystemSerialPorts();
    auto hid = platform::CreateSystemHid();
    CRecordingBoxes shown;
    const platform::Platform system{ports.get(), nullptr, &shown};

    CSerialLink serial({"COM1", 19200, 8, 0, 0, 0}, system);
    ASSERT_EQ(serial.Open(), 1) << ::testing::PrintToString(shown.Entries());
    CHidLink usb(*hid);
    ASSERT_EQ(usb.FindAndOpen(), 1);

    // Serial: 19,200 bytes a second (ten times 19200 baud 8N1) for 2 s. Each WriteBlock
    // waits for the output queue, so the blocks are large enough to keep that pace.
    const std::vector<uint8_t> serialOut = Stream(0, 38400);
    std::vector<uint8_t> serialIn;
    std::atomic<bool> serialDone{false};
    std::thread serialReader([&] {
        const auto start = Clock::now();
        while (serialIn.size() < serialOut.size() && MsSince(start) < 20000) {
            if (serial.WaitForInput(100) != 1) {
                continue;
            }
            uint8_t buffer[1024];
            uint32_t count = sizeof buffer;
            if (serial.Read(count, buffer) != 1) {
                break;
            }
            serialIn.insert(serialIn.end(), buffer, buffer + count);
        }
        serialDone = true;
    });
    // USB: as fast as the kernel takes reports, 7 payload bytes each; 70,000 B/s would be
    // ten times the line rate, and the interrupt endpoints are the limit below that.
    const std::vector<uint8_t> usbOut = Stream(0, 7 * 150);
    std::vector<uint8_t> usbIn;
    std::thread usbReader([&] { usbIn = DrainUsbInput(usbOut.size(), 30000); });

    const auto start = Clock::now();
    std::thread usbWriter([&] {
        for (size_t offset = 0; offset < usbOut.size(); offset += 7) {
            ASSERT_EQ(usb.SendBytes(7, usbOut.data() + offset), 1);
        }
    });
    constexpr size_t BLOCK = 1280;
    for (size_t offset = 0; offset < serialOut.size(); offset += BLOCK) {
        std::this_thread::sleep_until(start + std::chrono::microseconds(offset * 1000000 / 19200));
        ASSERT_EQ(serial.WriteBlock(BLOCK, serialOut.data() + offset), 1);
    }
    const long long serialMs = MsSince(start);
    usbWriter.join();
    const long long usbMs = MsSince(start);
    serialReader.join();
    usbReader.join();

    EXPECT_EQ(serialIn, serialOut) << serialIn.size() << " of " << serialOut.size() << " bytes";
    EXPECT_EQ(usbIn, usbOut) << usbIn.size() << " of " << usbOut.size() << " bytes";
    EXPECT_TRUE(shown.Entries().empty()) << ::testing::PrintToString(shown.Entries());
    std::printf(
        "serial: %zu bytes echoed, sent in %lld ms (%.0f B/s); usb: %zu bytes echoed, "
        "sent in %lld ms (%.0f B/s)\n",
        serialIn.size(), serialMs, serialOut.size() * 1000.0 / serialMs, usbIn.size(), usbMs,
        usbOut.size() * 1000.0 / usbMs);
}

TEST_F(CRealKernelTest, UnplugMidTrafficThenReplugUnderNewNodeNames) {
    auto hid = platform::CreateSystemHid();
    const std::string hidNode = KitHidNode();
    const std::string ttyNode = KitSerialNode();
    auto device = hid->Open(hidNode);
    ASSERT_NE(device, nullptr);
    auto ports = platform::CreateSystemSerialPorts();
    ASSERT_EQ(ports->DevicePath("COM1"), ttyNode);
    auto port = ports->CreatePort();
    ASSERT_EQ(port->Open("COM1"), 1) << port->LastErrorText();

    // The board streams on both channels while it is pulled out.
    kit().SendUsb(Stream(0, 7 * 300));
    kit().SendSerial(Stream(0, 4000));
    uint8_t report[9];
    uint32_t count = 0;
    ASSERT_EQ(device->ReadReport(report, sizeof report, count), 1);
    // Reports pile up in the node's queue while nobody reads it.
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    ASSERT_TRUE(kit().Plug(false));

    // What was queued is still read; then reads fail, never hang.
    int reportsAfterUnplug = 0;
    const auto start = Clock::now();
    while (device->ReadReport(report, sizeof report, count) == 1 && MsSince(start) < 5000) {
        ++reportsAfterUnplug;
    }
    EXPECT_LT(MsSince(start), 5000);
    EXPECT_GT(reportsAfterUnplug, 0);
    // The tty hangs up: a wait ends and reads then fail instead of returning nothing forever.
    bool serialFailed = false;
    const auto serialStart = Clock::now();
    while (MsSince(serialStart) < 3000) {
        port->WaitReadable(100);
        uint8_t bytes[256];
        if (port->Read(bytes, sizeof bytes, count) == 0) {
            serialFailed = true;
            break;
        }
    }
    EXPECT_TRUE(serialFailed) << "a read on the unplugged tty kept succeeding";
    EXPECT_TRUE(WaitUntil([] { return KitHidNode().empty() && KitSerialNode().empty(); }, 5000));

    // Replugged while the old descriptors are open: the kernel gives new node names, and the
    // backends find the Kit under them.
    ASSERT_TRUE(kit().Plug(true));
    ASSERT_TRUE(WaitUntil([] { return !KitHidNode().empty() && !KitSerialNode().empty(); }, 10000));
    EXPECT_NE(KitHidNode(), hidNode);
    EXPECT_NE(KitSerialNode(), ttyNode);
    // The tty's sysfs entry comes a moment before its /dev node, which the name mapping reads.
    EXPECT_TRUE(WaitUntil([&] { return ports->DevicePath("COM1") == KitSerialNode(); }, 2000))
        << ports->DevicePath("COM1") << " is not " << KitSerialNode();
    auto again = ports->CreatePort();
    EXPECT_EQ(again->Open("COM1"), 1) << again->LastErrorText();
    std::printf("reports read after the unplug: %d\n", reportsAfterUnplug);

    // Once the old ones are closed, the next plug takes the first names again.
    device.reset();
    port->Close();
    again->Close();
    ASSERT_TRUE(kit().Plug(false));
    ASSERT_TRUE(WaitUntil([] { return KitHidNode().empty(); }, 5000));
    ASSERT_TRUE(kit().Plug(true));
    ASSERT_TRUE(WaitUntil([] { return !KitHidNode().empty() && !KitSerialNode().empty(); }, 10000));
    EXPECT_EQ(KitHidNode(), hidNode);
    EXPECT_EQ(KitSerialNode(), ttyNode);
}

// The 1000 ms pause, then the reader: at once when the board answers, within about 500 ms when
// it stays silent. A stalled board holds neither a send nor the close: the gadget takes a few
// reports, the write after them waits in the kernel, and the link gives up on it at its
// deadline, still connected (the board is there, and the kernel would make a new open wait).
// The stalled board comes last: its held write keeps discovery away for about 5 s.
TEST_F(CRealKernelTest, CloseSequenceEndsWithinItsBoundWhateverTheBoardDoes) {
    auto hid = platform::CreateSystemHid();
    enum Board { ANSWERING, SILENT, STALLED };
    for (const Board board : {ANSWERING, SILENT, STALLED}) {
        SCOPED_TRACE(board);
        kit().SetSilent(board == SILENT);
        const int closeCommands = kit().CloseCommands();
        auto link = std::make_unique<CHidLink>(*hid);
        ASSERT_EQ(link->FindAndOpen(), 1);
        if (board == STALLED) {
            kit().SetOutStalled(true);
            const uint8_t bytes[1] = {'x'};
            long long slowest = 0;
            int failed = -1;
            for (int i = 0; i < 6 && failed < 0; ++i) {
                const auto start = Clock::now();
                if (link->SendBytes(1, bytes) != 1) {
                    failed = i;
                }
                slowest = std::max(slowest, MsSince(start));
            }
            EXPECT_GE(failed, 4);
            EXPECT_LE(slowest, 1000);
            EXPECT_TRUE(link->IsOpen());
            std::printf("slowest send to a stalled board %lld ms\n", slowest);
        }
        const auto start = Clock::now();
        link.reset();
        const long long ms = MsSince(start);
        EXPECT_GE(ms, 1000);
        EXPECT_LE(ms, 1600);
        if (board != STALLED) {
            EXPECT_TRUE(kit().WaitFor(
                [&](const auto& k) { return k.CloseCommands() == closeCommands + 1; }, 2000));
        } else {
            std::printf("close sequence with a stalled board %lld ms\n", ms);
        }
    }
}

TEST_F(CRealKernelTest, UnprivilegedUserIsRefusedBothNodesWithTheSystemsReason) {
    const std::string node = KitHidNode();
    ASSERT_FALSE(node.empty());
    // In a child that drops root: the nodes belong to root and nobody else may open them.
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        if (::setgroups(0, nullptr) != 0 || ::setgid(65534) != 0 || ::setuid(65534) != 0) {
            ::_exit(10);
        }
        auto hid = platform::CreateSystemHid();
        errno = 0;
        if (hid->Open(node) != nullptr || errno != EACCES) {
            ::_exit(11);
        }
        auto ports = platform::CreateSystemSerialPorts();
        auto port = ports->CreatePort();
        if (port->Open("COM1") != 0 ||
            port->LastErrorText().find("Permission denied") == std::string::npos) {
            ::_exit(12);
        }
        ::_exit(0);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0)
        << "10 setuid, 11 hidraw opened or not EACCES, 12 tty opened or no reason given";
}

TEST_F(CRealPageTest, PageRecoversBothChannelsAfterAnUnplugAndReplug) {
    StartPage();
    ASSERT_EQ_SOON(StatusPaneText(2), std::string("Firmware Version: K1.07"), 8000);
    ASSERT_EQ(StatusPaneText(1), "COM1 : 19200,8,N,1,fN");
    const std::string ttyBefore = KitSerialNode();

    // Pulled out while the board talks on both channels.
    kit().SendSerial(Stream(0, 2000));
    kit().SendUsb(Stream(0, 700));
    ASSERT_TRUE(kit().Plug(false));
    ASSERT_EQ_SOON(shown.Count("notice:The KIT is unpluged or reset!"), 1, 8000);
    ASSERT_EQ_SOON(StatusPaneText(0), std::string("Disconnected"), 8000);
    ASSERT_EQ_SOON(StatusPaneText(2), std::string("Firmware Version: N/A"), 8000);

    // Back again (under the old names once the page has let go of the hung-up ones): both
    // channels work.
    kit().SetVersion("R3.00");
    ASSERT_TRUE(kit().Plug(true));
    ASSERT_EQ_SOON(StatusPaneText(0), std::string("Connected"), 10000);
    EXPECT_EQ(StatusPaneText(1), "COM1 : 19200,8,N,1,fN");
    ASSERT_EQ_SOON(StatusPaneText(2), std::string("Firmware Version: R3.00"), 10000);
    std::printf("serial line before the unplug %s, after %s\n", ttyBefore.c_str(),
                KitSerialNode().c_str());
    page->Rs232View().Clear();
    kit().SendSerial({'b', 'a', 'c', 'k'});
    ASSERT_SOON(page->Rs232View().Text().endsWith("back"), 5000);
    // One notice and at most one box for the whole episode.
    EXPECT_EQ(shown.Count("notice:"), 1);
    EXPECT_LE(shown.Boxes(), 1) << ::testing::PrintToString(shown.Entries());
}

// Pulled out while both channels are idle, so the serial side learns of it from the hang-up
// alone: "Disconnected" before the one box, which names the port, and the port is found
// again while that box is still open.
TEST_F(CRealPageTest, IdleSerialLineIsClosedAtOnceAndFoundAgainWhileItsBoxIsOpen) {
    StartPage();
    ASSERT_EQ_SOON(StatusPaneText(2), std::string("Firmware Version: K1.07"), 8000);
    const std::string tty = KitSerialNode();
    bool replugged = false;
    shown.whileShownOnGui = [&] {
        EXPECT_EQ(StatusPaneText(0), "Disconnected");
        replugged = kit().Plug(true);
        EXPECT_SOON(StatusPaneText(0) == "Connected", 10000);
    };
    ASSERT_TRUE(kit().Plug(false));
    ASSERT_EQ_SOON(shown.Boxes(), 1, 8000);
    shown.whileShownOnGui = nullptr;
    EXPECT_TRUE(replugged);
    EXPECT_EQ(shown.Entries().back(), "Error:The serial port COM1 (" + tty + ") was disconnected.");
}

TEST_F(CRealPageTest, StalledBoardFreezesNeitherTheWindowNorTheExit) {
    StartPage();
    ASSERT_EQ_SOON(StatusPaneText(2), std::string("Firmware Version: K1.07"), 8000);
    kit().SetOutStalled(true);
    const CLoopPauses pauses;
    QElapsedTimer clock;
    clock.start();
    Edit(1005)->setText(QString(64, QChar('s')));  // ten reports: the board holds the fifth
    for (int click = 0; click < 3; ++click) {
        const qint64 before = clock.elapsed();
        page->OnUsbSend();
        EXPECT_LE(clock.elapsed() - before, 1000) << "click " << click;
    }
    ASSERT_TRUE(TicksPass(3));
    EXPECT_LE(pauses.Longest(), 1000);
    const auto start = Clock::now();
    ClosePage();
    EXPECT_LE(MsSince(start), 1600);
    std::printf("longest pause of the event loop %lld ms\n",
                static_cast<long long>(pauses.Longest()));
}
