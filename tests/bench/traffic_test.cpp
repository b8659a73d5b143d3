// Channel workers and traffic views: every byte once and in order, zero and control bytes,
// bounded scroll-back, folded long lines, batched updates, quiet retries of a failing serial read,
// idle cost.
#include <QAbstractButton>
#include <QElapsedTimer>
#include <QTextBlock>
#include <QTextDocument>
#include <ctime>
#include <thread>

#include "bench_fixture.h"
#include "serial/data_signal.h"

namespace {

double ProcessCpuMs() {
    timespec now{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
    return now.tv_sec * 1000.0 + now.tv_nsec / 1e6;
}

}  // namespace

TEST(TrafficView, ShowsBytesAsAnsiAndBoundsItsScrollBack) {
    TrafficView view;
    const uint8_t mixed[] = {'a', 0, 'b', 0x80, 0xE9, 0x09, 0x07, 'c'};
    view.AppendBytes(mixed, sizeof mixed);
    EXPECT_EQ(view.Text(), QString::fromUtf8("ab\xE2\x82\xAC\xC3\xA9\t\x07"
                                             "c"));

    // CR, LF and CR LF each end one line, also when a pair arrives in two batches.
    view.Clear();
    const uint8_t first[] = {'1', '\r', '2', '\n', '3', '\r'};
    const uint8_t second[] = {'\n', '4'};
    view.AppendBytes(first, sizeof first);
    view.Flush();
    view.AppendBytes(second, sizeof second);
    EXPECT_EQ(view.Text(), QString("1\n2\n3\n4"));

    // Clear drops what has not been shown yet too.
    view.AppendChar('x');
    view.Clear();
    view.AppendChar('y');
    EXPECT_EQ(view.Text(), QString("y"));

    // More arrives at once than the view keeps: the newest characters, and nothing older
    // beside them that would hide the gap.
    view.Clear();
    const auto early = Stream(50, 100);
    view.AppendBytes(early.data(), early.size());
    view.Flush();
    const auto flood = Stream(0, TrafficView::TRIM_AT + 1000);
    view.AppendBytes(flood.data(), flood.size());
    EXPECT_EQ(view.Text(), Latin1({flood.end() - TrafficView::SCROLL_BACK, flood.end()}));

    // Endless traffic without line ends: the newest characters stay, memory stays bounded.
    view.Clear();
    const auto bytes = Stream(0, 200000);
    std::thread writer([&] {
        for (size_t i = 0; i < bytes.size(); i += 1000) {
            view.AppendBytes(bytes.data() + i, 1000);
        }
    });
    EXPECT_SOON(view.Text().endsWith(Latin1({bytes.end() - 10, bytes.end()})), 10000);
    writer.join();
    const QString text = view.Text();
    EXPECT_GE(text.size(), TrafficView::SCROLL_BACK);
    EXPECT_LE(text.size(), TrafficView::TRIM_AT);
    EXPECT_EQ(text, Latin1({bytes.end() - text.size(), bytes.end()}));
}

// A line without line ends stays cheap to update: the document holds it in pieces of at most
// FOLD_AT characters, yet the text is the board's, and the dialog's font brings no shaping back.
TEST(TrafficView, FoldsLongLinesAndStaysUnshaped) {
    TrafficView view;
    QFont dialogFont(QStringLiteral("Sans Serif"));
    dialogFont.setPointSize(8);
    view.setFont(dialogFont);
    EXPECT_NE(view.font().styleStrategy() & QFont::PreferNoShaping, 0);
    EXPECT_FALSE(view.font().kerning());

    const auto line = Stream(0, 3 * TrafficView::FOLD_AT + 5);
    view.AppendBytes(line.data(), 100);  // the fold counts what an earlier update showed
    view.Flush();
    view.AppendBytes(line.data() + 100, line.size() - 100);
    const uint8_t next[] = {'\r', '\n', 'e', 'n', 'd'};
    view.AppendBytes(next, sizeof next);
    EXPECT_EQ(view.Text(), Latin1(line) + "\nend");
    int folded = 0;
    for (QTextBlock block = view.document()->begin(); block.isValid(); block = block.next()) {
        EXPECT_LE(block.length() - 1, TrafficView::FOLD_AT);
        folded += block.userState() == TrafficView::FOLDED ? 1 : 0;
    }
    EXPECT_EQ(folded, 3);
    EXPECT_NE(view.document()->lastBlock().userState(), TrafficView::FOLDED);
}

TEST(TrafficView, TakesBytesFromAnotherThreadInBatches) {
    TrafficView view;
    int updates = 0;
    QObject::connect(view.document(), &QTextDocument::contentsChanged, [&] { ++updates; });
    // One line, short enough that the document holds it in one piece.
    const auto bytes = Stream(0, TrafficView::FOLD_AT);
    QElapsedTimer elapsed;
    elapsed.start();
    std::thread writer([&] {
        for (uint8_t b : bytes) {
            view.AppendChar(b);
        }
    });
    ASSERT_EQ_SOON(view.toPlainText().size(), TrafficView::FOLD_AT, 5000);
    writer.join();
    EXPECT_EQ(view.toPlainText(), Latin1(bytes));
    // One update per frame at most (a change can signal twice: insert and cursor move).
    EXPECT_LE(updates, 2 * (elapsed.elapsed() / TrafficView::FRAME_MS + 2));
}

// A stop reaches the USB worker wherever it is, asleep waiting for reports or anywhere on its
// way there; a missed one would cost the whole idle wait.
TEST(UsbWorker, StopNeverWaitsOutTheIdleWait) {
    WorkerControl control;
    control.dataSignal = &usbRxSignal;
    for (int round = 0; round < 100; ++round) {
        control.stopRequested.store(0);
        std::thread worker(UsbWorker, std::ref(control));
        if (round % 2 == 0) {
            QElapsedTimer asleep;
            asleep.start();
            while (usbRxSignal.Waiters() == 0 && asleep.elapsed() < 3000) {
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            }
        }
        QElapsedTimer stop;
        stop.start();
        control.RequestStop();
        worker.join();
        EXPECT_LT(stop.elapsed(), USB_IDLE_WAIT_MS / 2 * TIME_SCALE) << "round " << round;
    }
}

TEST_F(CPageTest, TrafficOfBothChannelsAppearsInOrder) {
    StartPage(true, true);
    ASSERT_EQ_SOON(StatusPaneText(2), "Firmware Version: " + kit.Version(), 3000);
    qobject_cast<QAbstractButton*>(page->Control(1007))->click();
    receiveRing.Reset();

    // 300 bytes over USB: all of them, in order, in the view and in receiveRing.
    const auto usb = Stream(0, 300);
    kit.SendUsb(usb);
    ASSERT_EQ_SOON(page->UsbView().Text(), Latin1(usb), 3000);
    ASSERT_EQ_SOON(receiveRing.Count(), 300, 3000);

    // 100 bytes on the serial line.
    const auto serial = Stream(7, 100);
    kit.SendSerial(serial);
    ASSERT_EQ_SOON(page->Rs232View().Text(), Latin1(serial), 3000);
    ASSERT_EQ_SOON(receiveRing.Count(), 400, 3000);

    // A zero byte adds nothing to the view but still goes into receiveRing; line ends and
    // other control bytes are appended as they are.
    qobject_cast<QAbstractButton*>(page->Control(1010))->click();
    kit.SendSerial({'a', 0, 'b', '\r', 'c', '\n', 'd', 0x1B});
    ASSERT_EQ_SOON(page->Rs232View().Text(), QString("ab\nc\nd\x1B"), 3000);
    ASSERT_EQ_SOON(receiveRing.Count(), 408, 3000);
}

TEST_F(CPageTest, FailingSerialReadIsReportedOncePerFailure) {
    StartPage(true, true);
    ASSERT_EQ_SOON(StatusPaneText(2), "Firmware Version: " + kit.Version(), 3000);
    ASSERT_TRUE(shown.Entries().empty());

    // Idle workers sleep: few reads and little CPU while nothing arrives.
    const auto measure = [&](int& calls, double& cpuMs) {
        const int callsBefore = ports->calls.load();
        const double cpuBefore = ProcessCpuMs();
        QElapsedTimer window;
        window.start();
        QTest::qWait(300);  // a measuring window, not a synchronisation
        calls = ports->calls.load() - callsBefore;
        cpuMs = ProcessCpuMs() - cpuBefore;
        return window.elapsed();
    };
    int calls = 0;
    double cpuMs = 0;
    qint64 ms = measure(calls, cpuMs);
    EXPECT_LT(calls, ms / 5);  // a read is two calls, and waits last 50 ms
    EXPECT_LT(cpuMs, ms * 0.3);
    // Also when the port claims input that is not there.
    ports->alwaysReady = true;
    ms = measure(calls, cpuMs);
    ports->alwaysReady = false;
    EXPECT_LT(calls, ms);
    EXPECT_LT(cpuMs, ms * 0.3);

    kit.ConnectSerial(false);
    ASSERT_EQ_SOON(shown.Count("Error:"), 1, 3000);
    // The port is closed and looked for again each tick, quietly.
    ASSERT_EQ_SOON(StatusPaneText(0), "Disconnected", 3000);
    const int ticks = page->SupervisorTicks();
    ASSERT_SOON(page->SupervisorTicks() >= ticks + 2, 5000);
    EXPECT_EQ(shown.Boxes(), 1);

    // Back, it opens again; a new failure is a new box.
    kit.ConnectSerial(true);
    ASSERT_EQ_SOON(StatusPaneText(0), "Connected", 3000);
    kit.SendSerial({'b', 'a', 'c', 'k'});
    ASSERT_EQ_SOON(page->Rs232View().Text(), QString("back"), 3000);
    kit.ConnectSerial(false);
    ASSERT_EQ_SOON(shown.Count("Error:"), 2, 3000);
    EXPECT_EQ(shown.Boxes(), 2);
}
