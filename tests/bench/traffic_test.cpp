// Channel workers and traffic views: every byte once and in order, zero and control bytes,
// bounded scroll-back, folded long lines, batched updates, quiet retries of a failing serial read,
// no spinning while idle.
#include <QAccessible>
#include <QClipboard>
#include <QDateTime>
#include <QElapsedTimer>
#include <QMenu>
#include <QRegularExpression>
#include <QScrollBar>
#include <QTime>
#include <cstring>
#include <thread>

#include "bench_fixture.h"
#include "channel/data_signal.h"

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

// A long line goes on in rows of FOLD_AT characters, yet the text is the board's; a line
// stamp goes on its first row only.
TEST(TrafficView, FoldsLongLinesAndStampsTheirFirstRow) {
    TrafficView view;
    const auto line = Stream(0, 3 * TrafficView::FOLD_AT + 5);
    view.AppendBytes(line.data(), 100);  // the fold counts what an earlier update showed
    view.Flush();
    view.AppendBytes(line.data() + 100, line.size() - 100);
    const uint8_t next[] = {'\r', '\n', 'e', 'n', 'd'};
    view.AppendBytes(next, sizeof next);
    EXPECT_EQ(view.Text(), Latin1(line) + "\nend");
    QStringList rows;
    for (size_t at = 0; at < line.size(); at += TrafficView::FOLD_AT) {
        rows << Latin1(
            {line.begin() + at, line.begin() + std::min(line.size(), at + TrafficView::FOLD_AT)});
    }
    rows << "end";
    EXPECT_EQ(view.ShownText(), rows.join('\n'));

    view.SetTimestampMode(TrafficView::TimestampMode::Line);
    const QStringList stamped = view.ShownText().split('\n');
    ASSERT_EQ(stamped.size(), 5);
    const QRegularExpression stamp("^\\d\\d:\\d\\d:\\d\\d\\.\\d\\d\\d $");
    for (int i = 0; i < 5; ++i) {
        EXPECT_EQ(stamp.match(stamped[i].left(13)).hasMatch(), i == 0 || i == 4) << i;
        EXPECT_EQ(stamped[i].mid(13), rows[i]);
    }
}

TEST(TrafficView, TakesBytesFromAnotherThreadInBatches) {
    TrafficView view;
    int updates = 0;
    QObject::connect(&view, &TrafficView::Updated, [&] { ++updates; });
    const auto bytes = Stream(0, TrafficView::FOLD_AT);
    QElapsedTimer elapsed;
    elapsed.start();
    std::thread writer([&] {
        for (uint8_t b : bytes) {
            view.AppendChar(b);
        }
    });
    writer.join();
    ASSERT_EQ_SOON(view.StoreEnd(), TrafficView::FOLD_AT, 5000);
    EXPECT_EQ(view.ShownText(), Latin1(bytes));
    // One update per UPDATE_GAP_MS at most.
    EXPECT_LE(updates, elapsed.elapsed() / TrafficView::UPDATE_GAP_MS + 2);
}

// The time shown is the arrival of a line's (or chunk's) first byte, not the update's.
TEST(TrafficView, StampsTheArrivalTime) {
    TrafficView view;
    view.SetTimestampMode(TrafficView::TimestampMode::Chunk);
    const auto now = [] { return QTime::currentTime().msecsSinceStartOfDay(); };
    const int before = now();
    view.AppendBytes(reinterpret_cast<const uint8_t*>("ab"), 2);
    view.AppendBytes(reinterpret_cast<const uint8_t*>("cd\n"), 3);
    const int after = now();
    ASSERT_SOON(now() > after + 50, 2000);  // the clock, not the view, is awaited
    const auto shownAt = [](const QString& row) {
        return QTime::fromString(row.left(12), "HH:mm:ss.zzz").msecsSinceStartOfDay();
    };
    QStringList rows = view.ShownText().split('\n');
    ASSERT_EQ(rows.size(), 2);
    for (const QString& row : rows) {
        EXPECT_GE(shownAt(row), before - 1) << row.toStdString();
        EXPECT_LE(shownAt(row), after + 1) << row.toStdString();
    }
    EXPECT_EQ(rows[0].mid(13), "ab");
    EXPECT_EQ(rows[1].mid(13), "cd");
    view.SetTimestampMode(TrafficView::TimestampMode::Line);
    rows = view.ShownText().split('\n');
    ASSERT_EQ(rows.size(), 1);
    EXPECT_EQ(rows[0].mid(13), "abcd");

    // A chunk whose first byte, an LF, ends the row before (a CR LF split between two chunks)
    // stamps its own first row all the same; an LF that makes a row of its own stamps that row,
    // not the next.
    view.Clear();
    view.SetTimestampMode(TrafficView::TimestampMode::Chunk);
    for (const char* chunk : {"ef\r", "\ngh", "kl\n", "\nmn"}) {
        view.AppendBytes(reinterpret_cast<const uint8_t*>(chunk), std::strlen(chunk));
        view.Flush();
    }
    rows = view.ShownText().split('\n');
    ASSERT_EQ(rows.size(), 5);
    const QStringList texts{"ef", "gh", "kl", "", "mn"};
    const std::vector<bool> stamped{true, true, true, true, false};
    for (int i = 0; i < rows.size(); ++i) {
        EXPECT_EQ(rows[i].mid(13), texts[i]) << i;
        EXPECT_EQ(!rows[i].left(12).trimmed().isEmpty(), stamped[static_cast<size_t>(i)]) << i;
    }
}

// Hex rows: offsets count the bytes received since Clear, across chunks; zero bytes show.
TEST(TrafficView, HexOffsetsFollowTheReceivedBytes) {
    TrafficView view;
    QMenu menu;  // hex as the user chooses it
    view.FillContextMenu(menu);
    menu.actions()[3]->trigger();
    ASSERT_TRUE(view.HexMode());
    const uint8_t first[] = {'A', 0, '\r', '\n', 'B', 0x7F, 0xE9, 'C', 'D', 'E'};
    view.AppendBytes(first, sizeof first);
    view.AppendBytes(first, sizeof first);
    EXPECT_EQ(view.ShownText(),
              "00000000  41 00 0D 0A 42 7F E9 43 44 45 41 00 0D 0A 42 7F  A...B..CDEA...B.\n"
              "00000010  E9 43 44 45                                      .CDE");
    EXPECT_EQ(view.HeldBytes(), QByteArray(reinterpret_cast<const char*>(first), 10).repeated(2));
    // Chunk stamps start a row with each chunk; the offsets go on.
    view.SetTimestampMode(TrafficView::TimestampMode::Chunk);
    const QStringList rows = view.ShownText().split('\n');
    ASSERT_EQ(rows.size(), 2);
    EXPECT_TRUE(rows[1].mid(13).startsWith("0000000A  41 00")) << rows[1].toStdString();
    // Past the scroll-back, and after Clear.
    view.SetTimestampMode(TrafficView::TimestampMode::Off);
    const auto flood = Stream(0, TrafficView::TRIM_AT + 12);
    view.AppendBytes(flood.data(), flood.size());
    // More than the scroll-back at once: the newest bytes alone, at their own offsets.
    const QString lastRow = view.ShownText().split('\n').last();
    const QString printable = lastRow.mid(59);
    EXPECT_EQ(lastRow.left(8).toLongLong(nullptr, 16) + printable.size(), 20 + flood.size());
    EXPECT_EQ(printable, Latin1({flood.end() - printable.size(), flood.end()}));
    EXPECT_LE(view.HeldBytes().size(), TrafficView::TRIM_AT);
    view.Clear();
    view.AppendChar('z');
    EXPECT_EQ(view.ShownText(), "00000000  7A" + QString(46, ' ') + " z");

    // Past 4 GiB since Clear the offsets do not wrap: the column grows to 12 digits.
    view.Clear();
    const std::vector<uint8_t> mebibyte(1 << 20, 'x');
    for (int i = 0; i < 4096; ++i) {
        view.AppendBytes(mebibyte.data(), mebibyte.size());
    }
    view.AppendBytes(first, 4);
    const QStringList wide = view.ShownText().split('\n');
    const QString last = wide.last();
    EXPECT_EQ(last.indexOf(' '), 12) << last.toStdString();
    const int bytes = static_cast<int>(last.mid(14, 3 * 16).simplified().split(' ').size());
    EXPECT_EQ(last.left(12).toLongLong(nullptr, 16) + bytes, (qint64{1} << 32) + 4);
    EXPECT_TRUE(wide.first().startsWith("0000FFFF")) << wide.first().left(20).toStdString();
}

// Paused, bytes keep arriving into a bounded store; on resume they show after a note of
// what was passed over.
TEST(TrafficView, PauseKeepsTheNewestBytesAndSaysWhatItPassedOver) {
    TrafficView view;
    view.AppendBytes(reinterpret_cast<const uint8_t*>("old\n"), 4);
    view.Flush();
    QMenu menu;  // paused as the user pauses it
    view.FillContextMenu(menu);
    menu.actions()[5]->trigger();
    ASSERT_TRUE(view.Paused());
    const auto flood = Stream(0, 3 * TrafficView::TRIM_AT);
    std::thread writer([&] {
        for (size_t i = 0; i < flood.size(); i += 1000) {
            view.AppendBytes(flood.data() + i, std::min<size_t>(1000, flood.size() - i));
        }
    });
    writer.join();
    EXPECT_EQ(view.Text(), "old\n");
    const QByteArray held = view.HeldBytes();
    EXPECT_LE(held.size(), TrafficView::TRIM_AT);
    EXPECT_GE(held.size(), TrafficView::SCROLL_BACK);
    EXPECT_EQ(held,
              QByteArray(reinterpret_cast<const char*>(flood.data()) + flood.size() - held.size(),
                         held.size()));
    view.SetPaused(false);
    const QStringList rows = view.ShownText().split('\n');
    ASSERT_EQ(rows.size(), 3 + held.size() / TrafficView::FOLD_AT);
    EXPECT_EQ(rows[0], "old");
    EXPECT_EQ(
        rows[1],
        QString("[\u2026 %1 bytes not shown while paused \u2026]").arg(flood.size() - held.size()));
    EXPECT_TRUE(view.Text().endsWith(Latin1({flood.end() - 100, flood.end()})));
}

// Find wraps both ways and selects the match; the mouse selects, shift-click extends, and
// Ctrl+C copies with the board's line ends as "\n".
TEST(TrafficView, FindsSelectsAndCopies) {
    TrafficView view;
    view.resize(400, 200);
    view.show();
    const QByteArray text = "alpha\r\nbeta alpha\ngamma";
    view.AppendBytes(reinterpret_cast<const uint8_t*>(text.data()), text.size());
    const struct {
        const char* what;
        bool backwards;
        bool found;
        const char* selectedAt;  // row:column
    } steps[] = {{"ALPHA", false, true, "0:0"}, {"alpha", false, true, "1:5"},
                 {"alpha", false, true, "0:0"}, {"alpha", true, true, "1:5"},
                 {"alpha", true, true, "0:0"},  {"zzz", false, false, "0:0"}};
    for (const auto& step : steps) {
        EXPECT_EQ(view.FindNext(step.what, step.backwards), step.found) << step.what;
        EXPECT_EQ(view.SelectedText(), "alpha");
        const QPoint start = view.SelectionStart();
        EXPECT_EQ(QString("%1:%2").arg(start.y()).arg(start.x()), step.selectedAt) << step.what;
    }
    const auto at = [&](double column, double row) {
        return QPoint(static_cast<int>(column * view.CharWidth()),
                      static_cast<int>(row * view.LineHeight()));
    };
    QTest::mousePress(view.viewport(), Qt::LeftButton, {}, at(0.1, 1.5));
    QTest::mouseMove(view.viewport(), at(3.1, 2.5));
    QMouseEvent drag(QEvent::MouseMove, at(3.1, 2.5), view.viewport()->mapToGlobal(at(3.1, 2.5)),
                     Qt::NoButton, Qt::LeftButton, {});
    QApplication::sendEvent(view.viewport(), &drag);
    QTest::mouseRelease(view.viewport(), Qt::LeftButton, {}, at(3.1, 2.5));
    QTest::keyClick(&view, Qt::Key_C, Qt::ControlModifier);
    EXPECT_EQ(QApplication::clipboard()->text(), "beta alpha\ngam");
    QTest::mouseClick(view.viewport(), Qt::LeftButton, Qt::ShiftModifier, at(2.1, 0.5));
    EXPECT_EQ(view.SelectedText(), "pha\n");
    QTest::keyClick(&view, Qt::Key_A, Qt::ControlModifier);
    QTest::keyClick(&view, Qt::Key_C, Qt::ControlModifier);
    EXPECT_EQ(QApplication::clipboard()->text(), "alpha\nbeta alpha\ngamma");
}

// A selection never points past the rows: not after Select All (whose end is a real column),
// nor after a flood bigger than the trim threshold replaced every row between two updates.
TEST(TrafficView, KeyboardSelectionStaysOnRowsThatExist) {
    TrafficView view;
    view.resize(400, 200);
    view.show();
    const QByteArray text = "one\ntwo\nthree";
    view.AppendBytes(reinterpret_cast<const uint8_t*>(text.data()), text.size());
    QTest::keyClick(&view, Qt::Key_A, Qt::ControlModifier);
    QTest::keyClick(&view, Qt::Key_Left, Qt::ShiftModifier);
    EXPECT_EQ(view.SelectedText(), "one\ntwo\nthre");
    EXPECT_EQ(view.horizontalScrollBar()->value(), 0) << "the caret is on the text, not far right";

    QTest::keyClick(&view, Qt::Key_A, Qt::ControlModifier);
    const auto flood = Stream(0, TrafficView::TRIM_AT + 5000);
    view.AppendBytes(flood.data(), flood.size());  // no update between: the batch is cut
    view.Flush();
    for (const Qt::Key key : {Qt::Key_Right, Qt::Key_End, Qt::Key_Down, Qt::Key_Up, Qt::Key_Left}) {
        QTest::keyClick(&view, key, Qt::ShiftModifier);
    }
    EXPECT_TRUE(view.Text().contains(view.SelectedText())) << "the selection is in what is held";
    QTest::keyClick(&view, Qt::Key_A, Qt::ControlModifier);
    QTest::keyClick(&view, Qt::Key_C, Qt::ControlModifier);
    const QString copied = QApplication::clipboard()->text();
    EXPECT_TRUE(copied == view.SelectedText());
    EXPECT_GE(copied.size(), TrafficView::SCROLL_BACK) << "every row held is copied";
}

// A screen reader reads the rows as shown, one line end after each but the last, and its
// caret and selection offsets land on the same characters as the view's own.
TEST(TrafficView, ScreenReaderTextMatchesTheRowsCaretAndSelection) {
    TrafficView view;
    view.resize(400, 200);
    view.show();
    const QByteArray text = "ab\r\ncd\nef";
    view.AppendBytes(reinterpret_cast<const uint8_t*>(text.data()), text.size());
    view.Flush();
    QAccessibleInterface* face = QAccessible::queryAccessibleInterface(&view);
    ASSERT_NE(face, nullptr);
    QAccessibleTextInterface* reader = face->textInterface();
    ASSERT_NE(reader, nullptr);
    EXPECT_EQ(face->role(), QAccessible::EditableText);
    EXPECT_TRUE(face->state().readOnly && face->state().multiLine);
    EXPECT_EQ(reader->characterCount(), 8);
    EXPECT_EQ(reader->text(0, -1), "ab\ncd\nef");
    EXPECT_EQ(reader->text(3, 99), "cd\nef");

    reader->setSelection(0, 1, 7);  // from the b to before the f
    EXPECT_EQ(view.SelectedText(), "b\ncd\ne");
    QTest::keyClick(&view, Qt::Key_Right, Qt::ShiftModifier);
    int start = -1;
    int end = -1;
    reader->selection(0, &start, &end);
    EXPECT_EQ(std::make_pair(start, end), std::make_pair(1, 8));
    EXPECT_EQ(reader->cursorPosition(), 8);
    reader->setCursorPosition(4);
    EXPECT_EQ(reader->selectionCount(), 0);
    EXPECT_EQ(view.SelectionStart(), QPoint(1, 1));  // the d: column 1, row 1

    // What is read follows what is shown, and every row starts where the text says, with
    // stamps, in hex and after a zero byte (which shows as nothing in text).
    view.AppendBytes(reinterpret_cast<const uint8_t*>("g\0h\n0123456789abcdefXY"), 22);
    for (const bool hex : {false, true}) {
        view.SetHexMode(hex);
        view.SetTimestampMode(hex ? TrafficView::TimestampMode::Line
                                  : TrafficView::TimestampMode::Off);
        const QString shown = view.ShownText();
        EXPECT_EQ(reader->text(0, -1), shown);
        EXPECT_EQ(reader->characterCount(), shown.size());
        for (int row = 0, offset = 0; offset <= shown.size(); ++row) {
            reader->setCursorPosition(offset);
            EXPECT_EQ(reader->cursorPosition(), offset) << hex;
            EXPECT_EQ(view.SelectionStart(), QPoint(0, row)) << hex;
            const int lineEnd = shown.indexOf('\n', offset);
            offset = lineEnd < 0 ? shown.size() + 1 : lineEnd + 1;
        }
    }
}

// At the bottom the view follows the newest row; scrolled up it stays on the same rows, also
// while the oldest are dropped.
TEST(TrafficView, FollowsTheNewestRowOnlyAtTheBottom) {
    TrafficView view;
    view.resize(300, 150);
    view.show();
    QByteArray lines;
    for (int i = 0; lines.size() < TrafficView::SCROLL_BACK; ++i) {
        lines += QByteArray::number(i) + "\n";
    }
    view.AppendBytes(reinterpret_cast<const uint8_t*>(lines.data()), lines.size());
    view.Flush();
    QScrollBar* bar = view.verticalScrollBar();
    EXPECT_GT(bar->maximum(), 0);
    EXPECT_EQ(bar->value(), bar->maximum());
    bar->setValue(bar->maximum() - 100);
    const QString topRow = view.ShownText().split('\n')[view.FirstVisibleRow()];
    const QByteArray more = lines.left(TrafficView::TRIM_AT - TrafficView::SCROLL_BACK + 500);
    view.AppendBytes(reinterpret_cast<const uint8_t*>(more.data()), more.size());
    view.Flush();
    EXPECT_FALSE(view.FollowsNewest());
    EXPECT_LT(view.FirstVisibleRow(), bar->maximum() - 100);  // the oldest rows went
    EXPECT_EQ(view.ShownText().split('\n')[view.FirstVisibleRow()], topRow);
    bar->setValue(bar->maximum());
    view.AppendBytes(reinterpret_cast<const uint8_t*>("more\n"), 5);
    view.Flush();
    EXPECT_TRUE(view.FollowsNewest());
    EXPECT_EQ(bar->value(), bar->maximum());
}

// The tap sees every chunk on the appending thread; once SetTap(nullptr) has returned it
// is not running and is not called again.
TEST(TrafficView, TapSeesEachChunkUntilCleared) {
    TrafficView view;
    std::atomic<size_t> tapped{0};
    std::atomic<bool> cleared{false};
    std::atomic<int> late{0};
    std::atomic<qint64> lastArrival{0};
    view.SetTap([&](const uint8_t*, size_t count, qint64 arrivalMs) {
        late += cleared.load() ? 1 : 0;
        tapped += count;
        lastArrival = arrivalMs;
    });
    std::atomic<bool> stop{false};
    std::atomic<int> appends{0};
    std::thread writer([&] {
        const uint8_t bytes[] = {'x', 'y'};
        while (!stop.load()) {
            view.AppendBytes(bytes, sizeof bytes);
            ++appends;
        }
    });
    ASSERT_SOON(tapped.load() > 1000, 2000);
    EXPECT_NEAR(lastArrival.load(), QDateTime::currentMSecsSinceEpoch(), 1000);
    view.SetTap(nullptr);
    cleared = true;
    const size_t seen = tapped.load();
    const int before = appends.load();
    EXPECT_SOON(appends.load() > before + 1000, 2000);
    stop = true;
    writer.join();
    EXPECT_EQ(late.load(), 0);
    EXPECT_EQ(tapped.load(), seen);
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
            WaitUntil([] { return usbRxSignal.Waiters() != 0; }, 3000,
                      std::chrono::milliseconds(1));
        }
        QElapsedTimer stop;
        stop.start();
        control.RequestStop();
        worker.join();
        EXPECT_LT(stop.elapsed(), USB_IDLE_WAIT_MS / 2 * TIME_SCALE) << "round " << round;
    }
}

TEST_F(CPageTest, FailingSerialReadIsReportedOncePerFailure) {
    StartPage(true, true);
    ASSERT_EQ_SOON(StatusPaneText(2), "Firmware Version: " + kit.Version(), 3000);
    ASSERT_TRUE(shown.Entries().empty());

    // The serial worker does not spin while nothing arrives, nor when the port claims input
    // that is not there: a spinning worker makes thousands of calls in this window. (Idle CPU
    // itself is app_bench's goal.)
    const auto callsIn300Ms = [&] {
        const int before = ports->calls.load();
        QElapsedTimer window;
        window.start();
        QTest::qWait(300);  // a counting window, not a synchronisation
        return std::make_pair(ports->calls.load() - before, window.elapsed());
    };
    const auto [idleCalls, idleMs] = callsIn300Ms();
    EXPECT_LT(idleCalls, idleMs / 5);  // a read is two calls, and waits last 50 ms
    ports->alwaysReady = true;
    const auto [readyCalls, readyMs] = callsIn300Ms();
    ports->alwaysReady = false;
    EXPECT_LT(readyCalls, readyMs);

    // Unplugged while the line is idle: the port is closed and "Disconnected" shown before
    // the one box, which names the port; while the box waits, the port is looked for again
    // each tick, quietly, and taken back when it returns.
    sink.whileShownOnGui = [&] {
        EXPECT_EQ(StatusPaneText(0), "Disconnected");
        EXPECT_TRUE(TicksPass(2));
        kit.ConnectSerial(true);
        EXPECT_SOON(StatusPaneText(0) == "Connected", 5000);
    };
    kit.ConnectSerial(false);
    ASSERT_EQ_SOON(shown.Count("Error:"), 1, 3000);
    sink.whileShownOnGui = nullptr;
    EXPECT_EQ(shown.Entries().back(),
              "Error:The serial port COM1 (/dev/sim/COM1) was disconnected.");
    EXPECT_EQ(StatusPaneText(0), "Connected");
    EXPECT_EQ(shown.Boxes(), 1);

    // A new failure is a new box, also when a Send meets the hang-up first: the Send fails
    // quietly, and the port's going is the one box.
    kit.SendSerial({'b', 'a', 'c', 'k'});
    ASSERT_EQ_SOON(page->Rs232View().Text(), QString("back"), 3000);
    kit.ConnectSerial(false);
    page->OnRs232Send();
    ASSERT_EQ_SOON(shown.Boxes(), 2, 3000);
    EXPECT_EQ(shown.Entries().back(),
              "Error:The serial port COM1 (/dev/sim/COM1) was disconnected.");
    EXPECT_TRUE(TicksPass(1));
    EXPECT_EQ(shown.Boxes(), 2);
}
