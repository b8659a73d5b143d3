// The page and its workers on the simulated Kit under faults: a silent board at exit, unplugs
// in the middle of traffic and of a multi-report send, a serial port that vanishes under
// traffic, both rings full, a Kit without access and a board that stops reading. Each case:
// bounded, no crash, no byte lost or doubled while the rings accept.
#include <chrono>
#include <thread>

#include "bench/channel_traffic.h"
#include "bench/channel_workers.h"
#include "channel/data_signal.h"
#include "hid/hid_link.h"
#include "serial/serial_link.h"
#include "tests/bench/bench_fixture.h"

using namespace std::chrono_literals;
using CFaultPageTest = CPageTest;

// The board goes silent: it answers nothing, not even the close command, and sends nothing
// more over USB, so the close sequence must wake the reader itself. The serial line stays
// busy to the end. (Traffic of both channels before is the page tests'.)
TEST_F(CFaultPageTest, BoardSilentAtExitUnderTraffic) {
    StartSettled(true, true);
    kit.SetSilent(true);
    std::jthread sender([&](std::stop_token stop) {
        for (size_t k = 0; !stop.stop_requested(); k += 7) {
            kit.SendSerial(Stream(k, 7));
            std::this_thread::sleep_for(1ms);  // pacing, not synchronisation
        }
    });
    ASSERT_SOON(page->Rs232View().Text().size() > 600, 3000);
    const qint64 closeMs = ClosePage();
    sender.request_stop();
    sender.join();
    RecordProperty("closeMs", static_cast<int>(closeMs));
    EXPECT_LE(closeMs, 1600 * TIME_SCALE);
    EXPECT_EQ(kit.CloseCommands(), 1);
    EXPECT_EQ(kit.OpenHidHandles(), 0);
    EXPECT_EQ(g_hidLink, nullptr);
    EXPECT_EQ(g_serialLink, nullptr);
    EXPECT_EQ(shown.Boxes(), 0);
    // COM1 was let go: another port can open it.
    auto port = kit.SerialPorts().CreatePort();
    EXPECT_EQ(port->Open("COM1"), 1);
}

TEST_F(CFaultPageTest, UnplugInTheMiddleOfTrafficAndOfASendThenReplug) {
    StartSettled(true, true);
    // The board streams as fast as the reader takes its reports; a quarter through, with
    // bytes still on their way to the view, it is pulled out and its next sends go nowhere.
    const Bytes stream = Stream(0, 28000);
    size_t sent = 0;
    for (size_t k = 0; k < stream.size(); k += 7) {
        if (k == stream.size() / 4) {
            kit.PlugUsb(false);
        }
        kit.SendUsb(Bytes(stream.begin() + k, stream.begin() + k + 7));
        sent = kit.UsbPlugged() ? k + 7 : sent;
    }
    ASSERT_EQ(sent, stream.size() / 4);

    // The page notices, and what reached the view is a clean start of the stream.
    ASSERT_SOON(shown.Count("notice:") == 1, 3000);
    ASSERT_SOON(!page->KitPresent(), 3000);
    page->UsbView().Flush();
    const QString before = page->UsbView().Text();
    EXPECT_TRUE(Latin1(stream).startsWith(before)) << before.size();
    EXPECT_GE(before.size(), 6000);
    EXPECT_LE(static_cast<size_t>(before.size()), sent);
    EXPECT_EQ(kit.DroppedInputReports(), 0);

    // Replugged: a new version request, shown after what came before.
    kit.PlugUsb(true);
    ASSERT_SOON(kit.VersionRequests() == 2, 3000);
    ASSERT_SOON(page->UsbView().Text() == before + QString::fromStdString(kit.Version()), 3000);
    page->OnUsbClear();

    // Pulled out again right after the board took the third report of a ten-report send.
    const Bytes text = Stream(0, 64);
    Edit(1005)->setText(Latin1(text));
    const size_t reports = kit.OutputReports().size();
    std::atomic<bool> pulled{false};
    kit.SetObserver([&] {
        if (!pulled.load() && kit.OutputReports().size() >= reports + 3) {
            pulled.store(true);
            kit.PlugUsb(false);
        }
    });
    QElapsedTimer sending;
    sending.start();
    page->OnUsbSend();
    EXPECT_LT(sending.elapsed(), 500 * TIME_SCALE);
    kit.SetObserver(nullptr);
    ASSERT_TRUE(pulled.load());
    // Exactly the three reports before the unplug, each once and in order (their framing is
    // the link's test).
    const auto all = kit.OutputReports();
    ASSERT_EQ(all.size(), reports + 3);
    for (size_t r = 0; r < 3; ++r) {
        const auto& report = all[reports + r];
        ASSERT_EQ(report.size(), 9u);
        EXPECT_TRUE(std::equal(report.begin() + 2, report.end(), text.begin() + 7 * r)) << r;
    }
    EXPECT_FALSE(g_hidLink->IsOpen());
    // Echoes that made it back are a clean start of what was sent.
    page->UsbView().Flush();
    EXPECT_TRUE(Latin1(text).startsWith(page->UsbView().Text()));

    // Replugged and found again: the same send goes out whole and comes back whole, and so
    // does new traffic.
    ASSERT_SOON(shown.Count("notice:") == 2, 3000);
    kit.PlugUsb(true);
    ASSERT_SOON(kit.VersionRequests() == 3, 3000);
    ASSERT_SOON(page->UsbView().Text().endsWith(QString::fromStdString(kit.Version())), 3000);
    page->OnUsbClear();
    const size_t resent = kit.OutputReports().size();
    page->OnUsbSend();
    ASSERT_EQ(kit.OutputReports().size(), resent + 10);
    ASSERT_SOON(page->UsbView().Text() == Latin1(text), 3000);
    page->OnUsbClear();
    const Bytes after = Stream(3, 3500);
    kit.SendUsb(after);
    ASSERT_SOON(page->UsbView().Text() == Latin1(after), 5000);
    EXPECT_EQ(kit.DroppedInputReports(), 0);
    EXPECT_EQ(shown.Boxes(), 0);
    EXPECT_LE(ClosePage(), 1600 * TIME_SCALE);
    EXPECT_EQ(kit.OpenHidHandles(), 0);
}

TEST_F(CFaultPageTest, SerialPortVanishesUnderTrafficAndReturns) {
    StartSettled(true, true);
    const Bytes stream = Stream(0, 30000);
    std::jthread sender([&](std::stop_token stop) {
        // Sixty-four bytes every 5 ms: well above the line rate, well below what the tty holds.
        for (size_t k = 0; k + 64 <= stream.size() && !stop.stop_requested(); k += 64) {
            kit.SendSerial(Bytes(stream.begin() + k, stream.begin() + k + 64));
            std::this_thread::sleep_for(5ms);
        }
    });
    ASSERT_SOON(page->Rs232View().Text().size() >= 1000, 5000);
    kit.ConnectSerial(false);
    sender.request_stop();
    sender.join();

    // One "Error" box; the port is closed and the page says so.
    ASSERT_SOON(shown.Count("Error:") == 1, 3000);
    ASSERT_EQ_SOON(StatusPaneText(0), "Disconnected", 3000);
    EXPECT_EQ(StatusPaneText(1), "COM port is not available !");
    page->Rs232View().Flush();
    const QString before = page->Rs232View().Text();
    EXPECT_TRUE(Latin1(stream).startsWith(before)) << before.size();

    // The line returns, and only a new open can use it (the old port stays hung up): a
    // tick opens it, and new traffic arrives whole.
    kit.ConnectSerial(true);
    ASSERT_EQ_SOON(StatusPaneText(0), "Connected", 3000);
    EXPECT_EQ(StatusPaneText(1), "COM1 : 19200,8,N,1,fN");
    const Bytes after = Stream(40, 1500);
    for (size_t k = 0; k < after.size(); k += 100) {
        kit.SendSerial(Bytes(after.begin() + k, after.begin() + k + 100));
        std::this_thread::sleep_for(5ms);
    }
    ASSERT_SOON(page->Rs232View().Text() == before + Latin1(after), 5000);
    EXPECT_EQ(kit.DroppedSerialBytes(), 0);
    EXPECT_EQ(shown.Boxes(), 1);
    EXPECT_LE(ClosePage(), 1600 * TIME_SCALE);
}

// The workers of the page on their own links, started only once usbRxRing is full and with
// receiveRing full all along: every byte still reaches its view once and in order, at the
// channel's pace rather than a pause per refused byte.
TEST(FaultRings, BothRingsFull) {
    receiveRing.Reset();
    usbRxRing.Reset();
    while (receiveRing.Put('f') != -1) {
    }
    ASSERT_EQ(receiveRing.Count(), CByteRing::CAPACITY);

    CSimKit kit;
    CRecordingBoxes shown;
    kit.PlugUsb(true);
    kit.ConnectSerial(true);
    auto link = std::make_unique<CHidLink>(kit.Hid());
    ASSERT_EQ(link->EnsureOpen(), 1);
    g_hidLink = link.get();
    const platform::Platform platform{&kit.SerialPorts(), nullptr, &shown};
    CSerialLink serialLink({"COM1", 19200, 8, 0, 0, 0}, platform);
    ASSERT_EQ(serialLink.Open(), 1);

    // The board paces itself only on a handle that is being read: a first report through
    // shows the reader reads.
    kit.SendUsb({'p'});
    ASSERT_SOON(usbRxRing.Count() == 1, 3000);
    uint8_t probe = 0;
    ASSERT_EQ(usbRxRing.Get(probe), 1);

    // The board streams over USB into a reader nobody drains yet, and fills the line.
    const Bytes usb = Stream(0, 8400);
    const Bytes serial = Stream(11, 3000);
    kit.SendSerial(serial);
    std::jthread sender([&] {
        for (size_t k = 0; k < usb.size(); k += 700) {
            kit.SendUsb(Bytes(usb.begin() + k, usb.begin() + k + 700));
        }
    });
    ASSERT_SOON(usbRxRing.Count() == CByteRing::CAPACITY, 3000);

    TrafficView usbView;
    TrafficView rs232View;
    WorkerControl usbControl;
    WorkerControl rs232Control;
    CChannelTraffic usbTraffic(&usbView, nullptr);
    CChannelTraffic rs232Traffic(&rs232View, nullptr);
    usbControl.sink.store(&usbTraffic);
    rs232Control.sink.store(&rs232Traffic);
    rs232Control.link.store(&serialLink);
    QElapsedTimer draining;
    draining.start();
    std::thread usbWorker(UsbWorker, std::ref(usbControl));
    std::thread rs232Worker(Rs232Worker, std::ref(rs232Control));
    const bool usbWhole = QTest::qWaitFor([&] { return usbView.Text() == Latin1(usb); }, 10000);
    const bool serialWhole =
        QTest::qWaitFor([&] { return rs232View.Text() == Latin1(serial); }, 5000);
    const qint64 drainMs = draining.elapsed();
    sender.join();

    usbControl.RequestStop();
    usbRxSignal.Notify();
    rs232Control.RequestStop();
    usbWorker.join();
    rs232Worker.join();
    g_hidLink = nullptr;

    EXPECT_TRUE(usbWhole);
    EXPECT_TRUE(serialWhole);
    // A pause per refused byte would take over 8 s.
    EXPECT_LT(drainMs, 4000 * TIME_SCALE);
    EXPECT_EQ(kit.DroppedInputReports(), 0);
    EXPECT_EQ(kit.DroppedSerialBytes(), 0);
    EXPECT_EQ(receiveRing.Count(), CByteRing::CAPACITY);
    EXPECT_EQ(shown.Boxes(), 0);
}

// The Kit is plugged in but its node cannot be opened (no udev rule): the user learns which
// node and what to do, once per episode, instead of "not detected" or a box every second.
TEST_F(CFaultPageTest, KitWithoutAccessIsExplainedOncePerEpisode) {
    kit.SetUsbAccessDenied(true);
    StartPage(true, true);
    ASSERT_SOON(page->FirstTickDone(), 5000);
    ASSERT_SOON(shown.Count("Error:") == 1, 3000);
    const std::string box = shown.Entries().back();
    EXPECT_NE(box.find("/sim/hidraw2"), std::string::npos) << box;
    EXPECT_NE(box.find("Permission denied"), std::string::npos) << box;
    EXPECT_NE(box.find("70-palvex-kit.rules"), std::string::npos) << box;
    EXPECT_EQ(shown.Count("notice:"), 0);
    ASSERT_TRUE(TicksPass(2));
    EXPECT_EQ(shown.Count("Error:"), 1);

    // Access granted and the Kit replugged: it is found, and a new lock-out is a new episode.
    kit.PlugUsb(false);
    kit.SetUsbAccessDenied(false);
    kit.PlugUsb(true);
    ASSERT_SOON(page->KitPresent(), 3000);
    ASSERT_SOON(kit.VersionRequests() == 1, 3000);
    kit.SetUsbAccessDenied(true);
    kit.PlugUsb(false);
    ASSERT_SOON(shown.Count("notice:The KIT is unpluged or reset!") == 1, 3000);
    kit.PlugUsb(true);
    ASSERT_SOON(shown.Count("Error:") == 2, 3000);
    EXPECT_EQ(shown.Count("notice:"), 1);
    ASSERT_TRUE(TicksPass(1));
    EXPECT_EQ(shown.Count("Error:"), 2);
}

// A board that stops reading its OUT endpoint holds each write about 5 s in the kernel: the
// Send click and the exit stay within their bounds, and nothing is shown for it.
TEST_F(CFaultPageTest, BoardThatStopsReadingOutHoldsNeitherTheWindowNorTheExit) {
    StartSettled(true, true);
    kit.SetOutStalled(true);
    Edit(1005)->setText(Latin1(Stream(0, 64)));  // ten reports: the fifth is held
    QElapsedTimer sending;
    sending.start();
    page->OnUsbSend();
    EXPECT_LT(sending.elapsed(), 1000 * TIME_SCALE);
    // The board is still there: the link keeps it rather than opening the node again while
    // the held write lasts (the kernel would make that open wait for it), and later sends
    // fail at once.
    EXPECT_TRUE(g_hidLink->IsOpen());
    sending.restart();
    page->OnUsbSend();
    EXPECT_LT(sending.elapsed(), 100 * TIME_SCALE);
    EXPECT_TRUE(TicksPass(1));
    EXPECT_TRUE(g_hidLink->IsOpen());
    const qint64 closeMs = ClosePage();
    RecordProperty("closeMs", static_cast<int>(closeMs));
    EXPECT_LE(closeMs, 1600 * TIME_SCALE);
    EXPECT_EQ(shown.Boxes(), 0);
    EXPECT_EQ(shown.Count("notice:"), 0);
    // The board reads again, so the write it still holds ends before the kit goes. (What a
    // stalled board queues, and in which order, is the simulated Kit's own test.)
    kit.SetOutStalled(false);
}
