// The supervisor: Kit state machine, notices, COM scan, version request and reply, panes.
#include <QAbstractButton>
#include <QElapsedTimer>
#include <chrono>
#include <thread>

#include "bench_fixture.h"
#include "channel/data_signal.h"
#include "tests/channel/byte_ring_probe.h"

TEST_F(CPageTest, KitAndCom1PresentAtStart) {
    QElapsedTimer sinceStart;
    sinceStart.start();
    StartPage(true, true);
    ASSERT_EQ_SOON(kit.VersionRequests(), 1, 3000);
    const qint64 requestAfter = sinceStart.elapsed();
    EXPECT_GE(requestAfter, 450);
    EXPECT_LE(requestAfter, 1500 * TIME_SCALE);

    // The reply fills the pane and is also traffic of the channel that brought it.
    ASSERT_EQ_SOON(StatusPaneText(2), "Firmware Version: " + kit.Version(), 3000);
    ASSERT_EQ_SOON(page->UsbView().Text(), QString::fromStdString(kit.Version()), 3000);

    // The only report at start is the version request; present stays present: later ticks
    // send nothing more.
    EXPECT_TRUE(TicksPass(1));
    const auto reports = kit.OutputReports();
    ASSERT_EQ(reports.size(), 1u);
    EXPECT_TRUE(std::equal(reports[0].begin(), reports[0].begin() + 5,
                           std::vector<uint8_t>{0x00, 0x03, 0x1B, 0x56, 0x76}.begin()));
    EXPECT_TRUE(shown.Entries().empty());
}

// The Kit absent at start, or unplugged while present: one notice, "N/A" while the serial
// panes stay, USB Send warns, silence while it stays away; plugged in, the version is asked
// for and shown, and no second notice comes.
TEST_F(CPageTest, KitAbsentAtStartOrUnpluggedThenPluggedIn) {
    for (const bool atStart : {true, false}) {
        ClosePage();
        SetUp();
        shown.Clear();
        const int requests = kit.VersionRequests();
        StartPage(!atStart, true);
        if (!atStart) {
            ASSERT_EQ_SOON(StatusPaneText(2), "Firmware Version: " + kit.Version(), 3000);
            kit.PlugUsb(false);
        }
        ASSERT_EQ_SOON(shown.Count("notice:"), 1, 3000);
        EXPECT_EQ(shown.Entries()[0], atStart ? "notice:The KIT is not detected !"
                                              : "notice:The KIT is unpluged or reset!");
        ASSERT_EQ_SOON(StatusPaneText(2), std::string("Firmware Version: N/A"), 3000);
        ASSERT_EQ_SOON(StatusPaneText(0), std::string("Connected"), 3000);
        EXPECT_EQ(StatusPaneText(1), "COM1 : 19200,8,N,1,fN");

        const size_t reports = kit.OutputReports().size();
        page->OnUsbSend();
        ASSERT_EQ(shown.Entries().size(), 2u);
        EXPECT_EQ(shown.Entries()[1], "Warning:Please plug your board in !");
        EXPECT_EQ(kit.OutputReports().size(), reports);

        EXPECT_TRUE(TicksPass(2));
        EXPECT_EQ(shown.Count("notice:"), 1);
        EXPECT_EQ(kit.VersionRequests(), requests + (atStart ? 0 : 1));

        kit.PlugUsb(true);
        ASSERT_EQ_SOON(kit.VersionRequests(), requests + (atStart ? 1 : 2), 3000);
        ASSERT_EQ_SOON(StatusPaneText(2), "Firmware Version: " + kit.Version(), 3000);
        EXPECT_EQ(shown.Count("notice:"), 1);
    }
}

// Opening a COM port can take seconds (an outgoing Bluetooth port answers slowly): the
// window goes on meanwhile, USB included, and the port connects once the open returns. A page
// closed while an open still waits ends as soon as it returns.
TEST_F(CPageTest, ASlowComPortOpenNeverHoldsUpTheWindow) {
    for (const bool closeEarly : {false, true}) {
        SCOPED_TRACE(closeEarly ? "closed while waiting" : "waited for");
        TearDown();
        SetUp();
        shown.Clear();
        StartPage(true, true);
        ports->HoldOpens();
        ASSERT_SOON(ports->opensWaiting.load() == 1, 5000);
        EXPECT_TRUE(page->ComScanRunning());
        // The page's thread answers: the Kit's version comes in and is shown.
        ASSERT_EQ_SOON(StatusPaneText(2), "Firmware Version: " + kit.Version(), 3000);
        EXPECT_FALSE(page->FirstTickDone());
        if (closeEarly) {
            // The system returns from the open a little later; the page waits only for that.
            std::thread system([&] {
                std::this_thread::sleep_for(std::chrono::milliseconds(200));
                ports->ReleaseOpens();
            });
            EXPECT_LT(ClosePage(), 2000);
            system.join();
            // The link the scan opened went with the page: the line is free again.
            EXPECT_EQ(kit.SerialPorts().CreatePort()->Open("COM1"), 1);
            continue;
        }
        ports->ReleaseOpens();
        ASSERT_EQ_SOON(StatusPaneText(0), std::string("Connected"), 3000);
        EXPECT_TRUE(page->FirstTickDone());
        EXPECT_FALSE(page->ComScanRunning());
        EXPECT_EQ(StatusPaneText(1), "COM1 : 19200,8,N,1,fN");
        EXPECT_TRUE(shown.Entries().empty());
    }
}

TEST_F(CPageTest, ComScanReportsMissingPortsAfterTheNoticeAndTakesTheFirstThatOpens) {
    // COM1 and COM2 do not exist; COM3 is the Kit's line.
    StartPage(false, true, {{"COM1", "COM2"}, {"COM2", "COM4"}, {"COM3", "COM1"}});
    ASSERT_EQ_SOON(StatusPaneText(0), std::string("Connected"), 3000);
    EXPECT_EQ(StatusPaneText(1), "COM3 : 19200,8,N,1,fN");
    const auto entries = shown.Entries();
    ASSERT_EQ(entries.size(), 3u);
    EXPECT_EQ(entries[0], "notice:The KIT is not detected !");
    EXPECT_EQ(entries[1].rfind("Error:", 0), 0u) << entries[1];
    EXPECT_EQ(entries[2].rfind("Error:", 0), 0u) << entries[2];
    EXPECT_GT(entries[1].size(), std::string("Error:").size());  // the system's own text

    // The port that opened is the one the worker reads.
    kit.SendSerial({'o', 'k'});
    ASSERT_EQ_SOON(page->Rs232View().Text(), QString("ok"), 3000);

    // The scan is never repeated.
    EXPECT_TRUE(TicksPass(1));
    EXPECT_EQ(shown.Entries().size(), 3u);
}

TEST_F(CPageTest, APortTheUserNamedIsTheOnlyOneTried) {
    boardPorts = {"COM2"};  // palvex --port COM2; the Kit's line is COM1
    StartPage(true, true);
    ASSERT_EQ_SOON(StatusPaneText(0), std::string("Disconnected"), 3000);
    const auto entries = shown.Entries();
    ASSERT_EQ(entries.size(), 2u);
    EXPECT_EQ(entries[0].rfind("Error:", 0), 0u) << entries[0];
    EXPECT_EQ(entries[1], "Warning:No free COM port is available !");
    EXPECT_EQ(kit.SerialLine().baudRate, 9600u);  // COM1 was never opened and set
}

TEST_F(CPageTest, NoFreeComPort) {
    StartPage(true, true, {{"COM1", "COM2"}, {"COM3", "COM2"}});
    ASSERT_EQ_SOON(StatusPaneText(0), std::string("Disconnected"), 3000);
    EXPECT_EQ(StatusPaneText(1), "COM port is not available !");
    auto entries = shown.Entries();
    ASSERT_EQ(entries.size(), 5u);
    for (int i = 0; i < 4; ++i) {
        EXPECT_EQ(entries[i].rfind("Error:", 0), 0u) << entries[i];
    }
    EXPECT_EQ(entries[4], "Warning:No free COM port is available !");
    // The serial link's boxes belong to the main window, the page's own to the page.
    EXPECT_EQ(sink.Owners(), (std::vector<QWidget*>{nullptr, nullptr, nullptr, nullptr, page}));

    // RS232 Send without a port: nothing sent, nothing shown.
    qobject_cast<QAbstractButton*>(page->Control(1009))->click();
    EXPECT_TRUE(kit.SerialReceived().empty());

    EXPECT_TRUE(TicksPass(1));
    EXPECT_EQ(shown.Entries().size(), 5u);
    EXPECT_EQ(StatusPaneText(0), "Disconnected");
}

TEST_F(CPageTest, VersionReplyIsTheFirstFiveBytesUpToAZero) {
    kit.SetSilent(true);  // the test plays the board's answers
    StartPage(true, true);
    ASSERT_EQ_SOON(kit.VersionRequests(), 1, 3000);

    // A zero as second byte ends the text after one character.
    kit.SendUsb({'A', 0, 'B', 'C', 'D'});
    ASSERT_EQ_SOON(StatusPaneText(2), std::string("Firmware Version: A"), 3000);

    // A longer reply: the first five are shown, the rest stays in receiveRing.
    page->RequestFirmwareVersion();
    ASSERT_EQ_SOON(kit.VersionRequests(), 2, 3000);
    kit.SendUsb({'V', '2', '.', '0', '1', 'x', 'y'});
    ASSERT_EQ_SOON(StatusPaneText(2), std::string("Firmware Version: V2.01"), 3000);
    EXPECT_EQ(receiveRing.Count(), 2);

    // Any five bytes after a request will do, also from the serial line.
    page->RequestFirmwareVersion();
    ASSERT_EQ_SOON(kit.VersionRequests(), 3, 3000);
    EXPECT_EQ(receiveRing.Count(), 0);
    kit.SendSerial({'S', 'E', 'R', 'I', 'A'});
    ASSERT_EQ_SOON(StatusPaneText(2), std::string("Firmware Version: SERIA"), 3000);

    // A reply that meets receiveRing held by another thread still arrives whole: the worker
    // offers each byte again. The event loop stays still meanwhile, so the page cannot wait
    // on the held ring itself.
    page->RequestFirmwareVersion();
    ASSERT_EQ_SOON(kit.VersionRequests(), 4, 3000);
    ASSERT_TRUE(ByteRingProbe::Hold(receiveRing));
    for (const uint8_t byte : {'B', 'U', 'S', 'Y', '!'}) {
        usbRxRing.Put(byte);
    }
    usbRxSignal.Notify();
    // The worker took them and is offering them to receiveRing.
    EXPECT_TRUE(
        WaitUntil([] { return usbRxRing.Count() == 0; }, 3000, std::chrono::milliseconds(1)));
    ByteRingProbe::Release(receiveRing);
    ASSERT_EQ_SOON(StatusPaneText(2), std::string("Firmware Version: BUSY!"), 3000);
    EXPECT_EQ(page->UsbView().Text().right(5), "BUSY!");
}
