// Saving and logging a channel's traffic against the real file system: whole files or none,
// a log that keeps up with its writer thread, and failures that say why without stopping it.
#include "bench/traffic_file.h"

#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QMenu>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <thread>

#include "bench/traffic_file_menu.h"
#include "bench/traffic_view.h"
#include "bench_fixture.h"
#include "tests/common/child_process.h"

namespace {

QByteArray Contents(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

QByteArray Stamp(int64_t ms) {
    return QDateTime::fromMSecsSinceEpoch(ms).toString("yyyy-MM-dd hh:mm:ss.zzz  ").toUtf8();
}

}  // namespace

TEST(TrafficFile, SaveReplacesWholeOrNotAtAll) {
    QTemporaryDir dir;
    const QString path = dir.filePath("rx.bin");
    QString failure;
    ASSERT_TRUE(SaveTrafficBytes(path, QByteArray("\x00\x80 raw", 6), failure));
    EXPECT_EQ(Contents(path), QByteArray("\x00\x80 raw", 6));

    // A write that fails half-way (the file size limit) leaves the old file and no other.
    const std::string child = InChild([&] {
        const rlimit limit{4096, 4096};
        if (signal(SIGXFSZ, SIG_IGN) == SIG_ERR || setrlimit(RLIMIT_FSIZE, &limit) != 0) {
            return std::string("no limit");
        }
        QString why;
        return SaveTrafficBytes(path, QByteArray(100000, 'x'), why) ? std::string("saved")
                                                                    : why.toStdString();
    });
    EXPECT_EQ(child, (path + ": File too large").toStdString());
    EXPECT_EQ(Contents(path), QByteArray("\x00\x80 raw", 6));
    EXPECT_EQ(QDir(dir.path()).entryList(QDir::Files | QDir::Hidden).size(), 1);

    // A directory the user may not write to: the path and the system's reason. The child must
    // become another user for that, which only root can do.
    if (!CanDropPrivileges()) {
        GTEST_SKIP() << "every case ran but the unwritable directory, which needs root";
    }
    ASSERT_EQ(chmod(dir.path().toLocal8Bit(), 0755), 0);
    const std::string refused = InChild([&] {
        QString why;
        CTrafficLog log(nullptr, {});
        if (!DropPrivileges() || SaveTrafficBytes(dir.filePath("new.txt"), "x", why)) {
            return std::string("saved");
        }
        const std::string saveWhy = why.toStdString();
        return log.Start(dir.filePath("log.txt"), why) ? "started"
                                                       : saveWhy + " | " + why.toStdString();
    });
    EXPECT_EQ(refused, (dir.filePath("new.txt") + ": Permission denied | " +
                        dir.filePath("log.txt") + ": Permission denied")
                           .toStdString());
}

// Lines carry their first byte's arrival time, CR LF split between chunks is one line end,
// and the bytes reach the file within a second without a Stop. Control bytes are written as
// the view draws them, so a terminal showing the log never obeys them.
TEST(TrafficFile, LogWritesTimedLinesWithinASecond) {
    QTemporaryDir dir;
    const QString path = dir.filePath("log.txt");
    {
        QFile earlier(path);  // a log appends to what the file held
        ASSERT_TRUE(earlier.open(QIODevice::WriteOnly) && earlier.write("earlier\n") == 8);
    }
    CTrafficLog log(nullptr, {});
    QString failure;
    ASSERT_TRUE(log.Start(path, failure)) << failure.toStdString();
    const int64_t t0 = 1700000000123;
    const uint8_t a[] = {'a', 'b', '\r'}, b[] = {'\n', 'c', 0, 0x80}, c[] = {'d', '\n'};
    std::thread worker([&] {
        log.Append(a, sizeof a, t0);
        log.Append(b, sizeof b, t0 + 5);
        log.Append(c, sizeof c, t0 + 1500);
    });
    worker.join();
    const QByteArray expected = "earlier\n" + Stamp(t0) + "ab\n" + Stamp(t0 + 5) +
                                "c\xE2\x82\xAC"
                                "d\n";
    EXPECT_TRUE(QTest::qWaitFor([&] { return Contents(path) == expected; }, 1000))
        << Contents(path).toStdString();
    log.Stop();

    // A NUL between CR and LF adds nothing, as in the view: one line end. A log started
    // again on the same file after a line was left open begins on a line of its own.
    ASSERT_TRUE(log.Start(path, failure)) << failure.toStdString();
    const uint8_t d[] = {'e', '\r', 0, '\n', 'f'},
                  e[] = {'g', 0x1B, '[', '2', 'J', 0x07, '\t', 0x7F, 0x9B, 0x9D, '\n'};
    log.Append(d, sizeof d, t0 + 2000);
    log.Stop();
    ASSERT_TRUE(log.Start(path, failure)) << failure.toStdString();
    log.Append(e, sizeof e, t0 + 3000);
    log.Stop();
    EXPECT_EQ(Contents(path).toStdString(),
              (expected + Stamp(t0 + 2000) + "e\n" + Stamp(t0 + 2000) + "f\n" + Stamp(t0 + 3000) +
               "g\u241B[2J\u2407\u2409\u2421\u203A\uFFFD\n")
                  .toStdString());
}

// A full disk is reported once, on the context's thread, and appends go on; a stalled one
// makes appends drop bytes beyond the queue's bound, and the log says how many.
TEST(TrafficFile, LogFailuresNeitherStopNorGrow) {
    QObject context;
    std::vector<QString> reports;
    CTrafficLog full(&context, [&](const QString& text) { reports.push_back(text); });
    QString failure;
    ASSERT_TRUE(full.Start("/dev/full", failure));
    const QByteArray chunk(1000, 'x');
    for (int i = 0; i < 3; ++i) {
        full.Append(reinterpret_cast<const uint8_t*>(chunk.data()), chunk.size(), i);
        EXPECT_TRUE(QTest::qWaitFor([&] { return !reports.empty(); }, 1000));
    }
    full.Stop();
    QCoreApplication::processEvents();
    EXPECT_EQ(reports, std::vector<QString>{"/dev/full: No space left on device"});

    // A pipe nobody reads is a disk that stalls.
    QTemporaryDir dir;
    const QString fifo = dir.filePath("stalled");
    ASSERT_EQ(mkfifo(fifo.toLocal8Bit(), 0600), 0);
    const int reader = open(fifo.toLocal8Bit(), O_RDONLY | O_NONBLOCK);
    ASSERT_GE(reader, 0);
    CTrafficLog stalled(&context, {});
    ASSERT_TRUE(stalled.Start(fifo, failure));
    fcntl(reader, F_SETFL, 0);
    size_t total = 0;
    for (; total < 4 * CTrafficLog::LOG_QUEUE_LIMIT; total += chunk.size()) {
        stalled.Append(reinterpret_cast<const uint8_t*>(chunk.data()), chunk.size(), 0);
    }
    QByteArray logged;
    std::thread drain([&] {
        char buffer[65536];
        for (ssize_t count; (count = read(reader, buffer, sizeof buffer)) > 0;) {
            logged.append(buffer, count);
        }
    });
    stalled.Stop();
    drain.join();
    close(reader);
    const QRegularExpressionMatch note =
        QRegularExpression("\\[(\\d+) bytes not logged: the disk did not keep up\\]\n$")
            .match(QString::fromUtf8(logged));
    ASSERT_TRUE(note.hasMatch()) << logged.right(200).toStdString();
    EXPECT_EQ(logged.count('x') + note.captured(1).toLongLong(), qsizetype(total));
    EXPECT_LE(logged.count('x'), qsizetype(2 * CTrafficLog::LOG_QUEUE_LIMIT + 65536));
}

// A log on a FIFO never holds the program: one without a reader is refused at once, a reader
// that goes away is a failure to report (not SIGPIPE's end of the process), and one that stops
// reading holds Stop only for its bound.
TEST(TrafficFile, LogOnAFifoNeverHoldsTheProgram) {
    QTemporaryDir dir;
    const QString fifo = dir.filePath("fifo");
    ASSERT_EQ(mkfifo(fifo.toLocal8Bit(), 0600), 0);
    QObject context;
    std::vector<QString> reports;
    CTrafficLog log(&context, [&](const QString& text) { reports.push_back(text); });
    QString failure;
    EXPECT_FALSE(log.Start(fifo, failure));
    EXPECT_EQ(failure, fifo + ": no program is reading from it");

    const QByteArray chunk(100000, 'x');
    const auto append = [&] {
        log.Append(reinterpret_cast<const uint8_t*>(chunk.data()), chunk.size(), 0);
    };
    int reader = open(fifo.toLocal8Bit(), O_RDONLY | O_NONBLOCK);
    ASSERT_GE(reader, 0);
    ASSERT_TRUE(log.Start(fifo, failure)) << failure.toStdString();
    close(reader);
    append();
    ASSERT_TRUE(QTest::qWaitFor([&] { return !reports.empty(); }, 3000));
    EXPECT_EQ(reports, std::vector<QString>{fifo + ": the program reading from it has stopped"});
    log.Stop();

    reader = open(fifo.toLocal8Bit(), O_RDONLY | O_NONBLOCK);
    ASSERT_GE(reader, 0);
    ASSERT_TRUE(log.Start(fifo, failure)) << failure.toStdString();
    append();                                     // more than the pipe holds, and nobody reads it
    QTest::qWait(CTrafficLog::LOG_WRITE_MS * 2);  // lets the writer meet the full pipe
    QElapsedTimer stopping;
    stopping.start();
    log.Stop();
    EXPECT_LT(stopping.elapsed(), CTrafficLog::LOG_STOP_MS + 2000);
    close(reader);
}

// The view's menu entries on a running page: a save of what the view holds, a log that takes
// the board's bytes as they come, and a log whose disk fails: one box owned by the page, the
// log stopped, the traffic still shown.
TEST_F(CPageTest, ViewMenuSavesAndLogsAndSurvivesAFailingDisk) {
    StartSettled(false, true);
    auto* files = page->Rs232View().findChild<CTrafficFileMenu*>();
    ASSERT_NE(files, nullptr);
    QTemporaryDir dir;
    QString answer;
    files->SetChooseFile([&](const QString&, const QString&) { return answer; });

    QMenu menu;
    emit page->Rs232View().ContextMenuRequested(&menu);
    QStringList labels;
    for (QAction* action : menu.actions()) {
        labels << action->text();
    }
    EXPECT_TRUE(labels.contains(QStringLiteral("Log to File\u2026")))
        << labels.join('|').toStdString();

    answer = dir.filePath("rx.log");
    files->StartLog();
    kit.SendSerial({'o', 'n', 'e', '\n', 0, 't', 'w', 'o'});
    ASSERT_EQ_SOON(page->Rs232View().Text(), QString("one\ntwo"), 3000);
    answer = dir.filePath("rx.bin");
    files->SaveBytes();
    EXPECT_EQ(Contents(answer), QByteArray("one\n\0two", 8));
    files->StopLog();  // writes what is queued
    // Each line stamped with its arrival; the zero byte left out, as the view does.
    const QString logged = QString::fromUtf8(Contents(dir.filePath("rx.log")));
    EXPECT_TRUE(QRegularExpression(R"(^(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3}  )one\n(?1)two$)")
                    .match(logged)
                    .hasMatch())
        << logged.toStdString();

    answer = "/dev/full";
    files->StartLog();
    ASSERT_TRUE(files->Logging());
    kit.SendSerial({'x'});
    ASSERT_SOON(sink.Count("Error:The log file could not be written") == 1, 3000);
    EXPECT_FALSE(files->Logging());
    EXPECT_EQ(sink.Owners().back(), page);
    kit.SendSerial({'y'});
    ASSERT_EQ_SOON(page->Rs232View().Text(), QString("one\ntwoxy"), 3000);
    answer.clear();  // a cancelled dialog writes nothing and shows nothing
    files->SaveText();
    EXPECT_EQ(sink.Boxes(), 1) << ::testing::PrintToString(sink.Entries());

    // A log still running when the page goes is closed whole, before the view it taps.
    answer = dir.filePath("last.log");
    files->StartLog();
    kit.SendSerial({'z', '\n'});
    ASSERT_EQ_SOON(page->Rs232View().Text(), QString("one\ntwoxyz\n"), 3000);
    ClosePage();
    EXPECT_TRUE(Contents(answer).endsWith("z\n")) << Contents(answer).toStdString();
}
