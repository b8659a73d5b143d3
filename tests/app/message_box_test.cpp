// Message boxes from worker threads: the GUI thread shows them while the worker waits, and
// Shutdown releases every waiting worker at once.
#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QElapsedTimer>
#include <QMessageBox>
#include <QTimer>
#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "app_test_util.h"
#include "platform/qt_message_box.h"

TEST(QtMessageBoxSink, ShutdownReleasesAWaitingWorkerAndLaterCallsAtOnce) {
    CQtMessageBoxSink sink;
    std::atomic<bool> returned{false};
    qint64 releaseMs = -1;
    OnNextModal([&](QWidget* modal) {
        // The GUI thread stops a worker that waits for its box: no deadlock.
        QElapsedTimer clock;
        clock.start();
        sink.Shutdown();
        while (!returned.load() && clock.elapsed() < 2000) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        releaseMs = clock.elapsed();
        // The box still open is the user's to close.
        qobject_cast<QMessageBox*>(modal)->button(QMessageBox::Ok)->click();
    });
    std::thread worker([&] {
        sink.Show("Write time-out", "Error");
        returned = true;
    });
    EXPECT_TRUE(QTest::qWaitFor(
        [&] { return returned.load() && QApplication::activeModalWidget() == nullptr; }));
    worker.join();
    EXPECT_GE(releaseMs, 0);
    EXPECT_LT(releaseMs, 500 * TIME_SCALE);

    // Nothing new opens after Shutdown, from any thread.
    std::thread late([&] { sink.Show("late", "Error"); });
    late.join();
    sink.Show("late on the GUI thread", "Error");
    QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
    EXPECT_EQ(QApplication::activeModalWidget(), nullptr);
    EXPECT_EQ(sink.OpenBoxes(), 0);
}

// A request still queued at Shutdown is dropped, also when its sink is gone before the GUI
// thread looks at it, and stays dropped after Resume, when a new one shows.
TEST(QtMessageBoxSink, RequestStillQueuedAtShutdownIsDroppedForGood) {
    // Shuts the sink down before the GUI thread has looked at its queue.
    const auto queueThenShutDown = [](CQtMessageBoxSink& sink) {
        std::atomic<bool> returned{false};
        std::thread worker([&] {
            sink.Show("queued", "Warning");
            returned = true;
        });
        WaitUntil([&] { return sink.QueuedRequests() != 0; }, 2000, std::chrono::milliseconds(1));
        EXPECT_EQ(sink.QueuedRequests(), 1);
        EXPECT_FALSE(returned.load());
        sink.Shutdown();
        worker.join();
        EXPECT_TRUE(returned.load());
    };
    {
        CQtMessageBoxSink sink;
        queueThenShutDown(sink);
    }
    QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
    EXPECT_EQ(QApplication::activeModalWidget(), nullptr);

    CQtMessageBoxSink sink;
    queueThenShutDown(sink);
    int boxesSeen = 0;
    QTimer closer;  // a box runs its own event loop; this closes it from within
    QObject::connect(&closer, &QTimer::timeout, [&] {
        if (QWidget* box = QApplication::activeModalWidget()) {
            ++boxesSeen;
            box->close();
        }
    });
    closer.start(10);
    sink.Resume();
    std::atomic<bool> shownAgain{false};
    std::thread again([&] {
        sink.Show("again", "Warning");
        shownAgain.store(true);
    });
    EXPECT_TRUE(QTest::qWaitFor([&] { return shownAgain.load(); }));
    again.join();
    EXPECT_EQ(boxesSeen, 1);
}

// A box sits over its owner (a page) or, without one, over the main window, from any thread;
// before the main window is on screen it goes to the middle of the screen. A worker waits in
// Show while the GUI thread shows its box. The OS's error texts come in the user's locale: a
// French UTF-8 one must not come out as "PÃ©riphÃ©rique"; markup in a text is shown as it is.
TEST(QtMessageBoxSink, BoxesBelongToTheirOwnerAndAWorkerWaitsForItsBox) {
    CQtMessageBoxSink sink;
    QWidget mainWindow;
    auto* page = new QWidget(&mainWindow);
    sink.SetMainWindow(&mainWindow);
    std::vector<QWidget*> owners;
    const auto closeNext = [&] {
        OnNextModal([&](QWidget* modal) {
            owners.push_back(modal->parentWidget());
            qobject_cast<QMessageBox*>(modal)->button(QMessageBox::Ok)->click();
        });
    };
    closeNext();
    sink.Show("Something wrong with the file access.", "Error");
    mainWindow.show();
    closeNext();
    sink.ShowOwned("Please plug your board in !", "Warning", page);

    std::atomic<bool> returned{false};
    bool looked = false;
    // The box runs its own loop inside the GUI thread's; the test looks at it from there.
    OnNextModal([&](QWidget* modal) {
        auto* box = qobject_cast<QMessageBox*>(modal);
        ASSERT_NE(box, nullptr);
        owners.push_back(box->parentWidget());
        EXPECT_EQ(box->windowTitle(), "Error");
        EXPECT_EQ(box->text(), QString::fromUtf8("Périphérique <b>introuvable</b>"));
        EXPECT_EQ(box->textFormat(), Qt::PlainText);
        EXPECT_EQ(box->icon(), QMessageBox::Information);
        EXPECT_EQ(box->standardButtons(), QMessageBox::Ok);
        EXPECT_EQ(sink.OpenBoxes(), 1);
        QTimer::singleShot(50, box, [&, box] {
            EXPECT_FALSE(returned.load());
            looked = true;
            box->button(QMessageBox::Ok)->click();
        });
    });
    std::thread worker([&] {
        sink.Show("P\xC3\xA9riph\xC3\xA9rique <b>introuvable</b>", "Error");
        returned = true;
    });
    EXPECT_TRUE(QTest::qWaitFor([&] { return returned.load(); }));
    worker.join();
    EXPECT_TRUE(looked);
    EXPECT_EQ(sink.OpenBoxes(), 0);
    EXPECT_EQ(owners, (std::vector<QWidget*>{nullptr, page, &mainWindow}));

    // A question over its page, as plain text, answered by the button the user chose.
    for (const auto answer : {QMessageBox::Yes, QMessageBox::No}) {
        OnNextModal([&](QWidget* modal) {
            auto* box = qobject_cast<QMessageBox*>(modal);
            ASSERT_NE(box, nullptr);
            EXPECT_EQ(box->parentWidget(), page);
            EXPECT_EQ(box->text(), "Copy <b>this</b>?");
            EXPECT_EQ(box->textFormat(), Qt::PlainText);
            EXPECT_EQ(box->standardButtons(), QMessageBox::Yes | QMessageBox::No);
            box->button(answer)->click();
        });
        EXPECT_EQ(sink.Ask("Copy <b>this</b>?", "Transfer", page), answer == QMessageBox::Yes);
    }
}
