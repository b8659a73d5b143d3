// A randomised run against the gadget Kit: the board is unplugged and replugged at random
// gaps, falls silent, stalls its OUT endpoint and sends bursts on both channels, while the
// user sends, clears, blinks the LED, switches view modes and logs both channels to files.
// Invariants are checked all along; a failure names the seed that reproduces the run.
//   PALVEX_CHAOS_SECONDS=S [PALVEX_CHAOS_SEED=N] test_kernel --gtest_filter='*Chaos*'
// (scripts/kernel-test --chaos S [--seed N]); without PALVEX_CHAOS_SECONDS the test skips.
#include <malloc.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <mutex>
#include <random>
#include <set>
#include <thread>

#include "bench/traffic_file_menu.h"
#include "bench/traffic_view.h"
#include "tests/kernel/kernel_fixture.h"

namespace {

using Clock = std::chrono::steady_clock;

// Under a sanitizer (and the rig's emulation) the program runs many times slower and ASan
// holds freed memory in quarantine: its pauses and RSS say nothing about the program, and
// reconnecting takes longer. Such a run checks the rest.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool SANITIZED = true;
#else
constexpr bool SANITIZED = false;
#endif
constexpr int RECONNECT_MS = SANITIZED ? 60000 : 10000;

namespace fs = std::filesystem;

// The entries of a folder of /proc; the iterator's own descriptor counts, the same each time.
int CountEntries(const char* folder) {
    std::error_code error;
    return static_cast<int>(
        std::distance(fs::directory_iterator(folder, error), fs::directory_iterator()));
}

// What the program holds: its descriptors, its threads and the hidraw writer helpers.
struct Holdings {
    int fds = 0;
    int threads = 0;
    int helpers = 0;
    bool operator==(const Holdings&) const = default;
    std::string Text() const {
        return std::to_string(fds) + " descriptors, " + std::to_string(threads) + " threads, " +
               std::to_string(helpers) + " writer helpers";
    }
};

// The traffic logs are left out of the descriptors: the user turns them off and on at random,
// and a count taken between the two would be off by one for the rest of the run.
Holdings Now() {
    Holdings now{CountEntries("/proc/self/fd"), CountEntries("/proc/self/task"), 0};
    std::error_code error;
    for (const fs::directory_entry& fd : fs::directory_iterator("/proc/self/fd", error)) {
        const std::string target = fs::read_symlink(fd.path(), error).string();
        const bool log = target.ends_with("/usb.log") || target.ends_with("/rs232.log");
        now.fds -= log ? 1 : 0;
    }
    for (const fs::directory_entry& process : fs::directory_iterator("/proc", error)) {
        std::ifstream comm(process.path() / "comm");
        std::string name;
        now.helpers += std::getline(comm, name) && name.rfind("palvex-hidraw-w", 0) == 0;
    }
    return now;
}

// Whether the program holds both of the Kit's present nodes open: the page has found the Kit
// and its line again. Only then is what it holds comparable between episodes.
bool HoldsKitNodes() {
    const std::string nodes[2] = {KitHidNode(), KitSerialNode()};
    bool held[2] = {false, false};
    std::error_code error;
    for (const fs::directory_entry& fd : fs::directory_iterator("/proc/self/fd", error)) {
        const std::string target = fs::read_symlink(fd.path(), error).string();
        for (int i = 0; i < 2; ++i) {
            held[i] = held[i] || (!nodes[i].empty() && nodes[i] == target);
        }
    }
    return held[0] && held[1];
}

long RssKb() {
    QFile status("/proc/self/status");
    status.open(QIODevice::ReadOnly);
    const QRegularExpressionMatch match =
        QRegularExpression(R"(VmRSS:\s+(\d+))").match(QString::fromLatin1(status.readAll()));
    return match.hasMatch() ? match.captured(1).toLong() : 0;
}

// One burst of numbered lines ("U000042\n") on one channel; clean when nothing that may cut
// or mix into a line (an unplug, a log restart, the user's own traffic) overlapped it.
struct Burst {
    int first = 0;
    int count = 0;
    bool clean = true;
    bool confirmed = false;  // its last line was in the log before any later unplug
};

struct Channel {
    explicit Channel(char letter) : letter(letter) {}
    const char letter;
    std::atomic<int> disturbances{0};  // unplugs, log restarts, sends that overlap a burst
    std::mutex mutex;
    std::vector<Burst> bursts;  // guarded by mutex
    int next = 0;               // board thread only
};

// The numbers of the channel's lines in `text`, in order: in a log, only those that end a line;
// among the bytes the board received, any.
std::vector<int> Numbers(const QString& text, char letter, bool lineEnds) {
    const QRegularExpression line(
        QStringLiteral("%1(\\d{6})%2").arg(QChar(letter), lineEnds ? "$" : ""),
        QRegularExpression::MultilineOption);
    std::vector<int> numbers;
    for (const QRegularExpressionMatch& match : line.globalMatch(text)) {
        numbers.push_back(match.captured(1).toInt());
    }
    return numbers;
}

std::vector<int> LoggedNumbers(const QString& path, char letter) {
    QFile file(path);
    file.open(QIODevice::ReadOnly);
    return Numbers(QString::fromLatin1(file.readAll()), letter, true);
}

// Before an unplug: a burst whose last line has not reached the log yet may still be in the
// gadget's or the host's buffers, which the unplug empties; it is no longer clean.
void DoubtUnconfirmed(const QString& path, Channel& channel) {
    const std::vector<int> numbers = LoggedNumbers(path, channel.letter);
    std::lock_guard<std::mutex> hold(channel.mutex);
    for (Burst& burst : channel.bursts) {
        if (burst.clean && !burst.confirmed) {
            const int last = burst.first + burst.count - 1;
            burst.confirmed = std::find(numbers.begin(), numbers.end(), last) != numbers.end();
            burst.clean = burst.confirmed;
        }
    }
}

// Strictly increasing (each line once, in order) but for the board's echoes of lines it got
// back, and every line of a clean burst there.
// The board's echoes are lines the host's tty echoed to the board before the page made the
// line raw.
std::string CheckLog(const QString& path, Channel& channel, std::multiset<int> echoed) {
    const std::vector<int> numbers = LoggedNumbers(path, channel.letter);
    const size_t gotBack = echoed.size();
    int last = -1;
    for (const int number : numbers) {
        if (number > last) {
            last = number;
        } else if (const auto echo = echoed.find(number); echo != echoed.end()) {
            echoed.erase(echo);
        } else {
            return std::string(1, channel.letter) + std::to_string(number) + " logged after " +
                   std::to_string(last);
        }
    }
    if (gotBack > 0) {
        std::printf("chaos: %c: the board got %zu of its own lines back\n", channel.letter,
                    gotBack);
    }
    std::lock_guard<std::mutex> hold(channel.mutex);
    int cleanLines = 0;
    for (const Burst& burst : channel.bursts) {
        if (!burst.clean) {
            continue;
        }
        cleanLines += burst.count;
        for (int n = burst.first; n < burst.first + burst.count; ++n) {
            if (!std::binary_search(numbers.begin(), numbers.end(), n)) {
                return std::string(1, channel.letter) + std::to_string(n) +
                       " of a clean burst is not in the log";
            }
        }
    }
    std::printf("chaos: %c: %zu lines logged, %d of them in clean bursts, all there\n",
                channel.letter, numbers.size(), cleanLines);
    return {};
}

}  // namespace

TEST_F(CRealPageTest, ChaosKeepsEveryInvariant) {
    const char* secondsText = std::getenv("PALVEX_CHAOS_SECONDS");
    if (secondsText == nullptr) {
        GTEST_SKIP() << "a chaos run only when PALVEX_CHAOS_SECONDS is set";
    }
    const int seconds = std::atoi(secondsText);
    const char* seedText = std::getenv("PALVEX_CHAOS_SEED");
    const unsigned seed = seedText != nullptr
                              ? static_cast<unsigned>(std::strtoul(seedText, nullptr, 10))
                              : std::random_device{}();
    std::printf("chaos: seed %u, %d s (PALVEX_CHAOS_SEED=%u reproduces it)\n", seed, seconds, seed);
    std::fflush(stdout);
    SCOPED_TRACE("seed " + std::to_string(seed));

    StartPage();
    ASSERT_EQ_SOON(StatusPaneText(2), std::string("Firmware Version: K1.07"), 8000);
    ASSERT_EQ_SOON(StatusPaneText(0), std::string("Connected"), 8000);

    // Both channels logged for the whole run; a restart appends to the same file.
    QTemporaryDir dir;
    TrafficView* views[2] = {&page->UsbView(), &page->Rs232View()};
    Channel channels[2] = {Channel('U'), Channel('S')};
    CTrafficFileMenu* logs[2] = {};
    QString logPaths[2];
    for (int c = 0; c < 2; ++c) {
        logs[c] = views[c]->findChild<CTrafficFileMenu*>();
        ASSERT_NE(logs[c], nullptr);
        logPaths[c] = dir.filePath(c == 0 ? "usb.log" : "rs232.log");
        logs[c]->SetChooseFile(
            [path = logPaths[c]](const QString&, const QString&) { return path; });
        logs[c]->StartLog();
        ASSERT_TRUE(logs[c]->Logging());
    }

    const long rssStartKb = RssKb();

    auto pauses = std::make_unique<CLoopPauses>();

    std::atomic<bool> over{false};
    std::mutex failuresMutex;
    std::vector<std::string> failures;
    const auto fail = [&](const std::string& text) {
        std::lock_guard<std::mutex> hold(failuresMutex);
        failures.push_back(text);
    };
    std::atomic<int> plugged{1};
    // Counts unplugs; the GUI thread copies it to `ready` once the page shows the line
    // "Connected" again and holds the Kit's present nodes. Bytes the board sends before that
    // are not sent "while connected": a new tty may have edited and dropped them.
    std::atomic<int> plugEpoch{0};
    std::atomic<int> ready{0};
    std::atomic<int> episodes{0};
    std::atomic<bool> boardDone{false};
    int userBoxes = 0;

    // The board's side, on a thread of its own: unplugging blocks for a while in the kernel,
    // which must not count as the window's pause.
    std::thread board([&] {
        std::mt19937 random(seed);
        const auto pick = [&](int low, int high) {
            return std::uniform_int_distribution<int>(low, high)(random);
        };
        const auto pause = [&](int ms) {
            const auto until = Clock::now() + std::chrono::milliseconds(ms);
            while (!over.load() && Clock::now() < until) {
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
            }
        };
        Holdings baseline;
        bool haveBaseline = false;
        while (!over.load()) {
            const int event = pick(0, 9);
            if (event <= 1) {  // an unplug, back after 50 ms to 2 s
                for (int c = 0; c < 2; ++c) {
                    channels[c].disturbances.fetch_add(1);
                    DoubtUnconfirmed(logPaths[c], channels[c]);
                }
                plugged.store(0);
                plugEpoch.fetch_add(1);
                const std::string serialNode = KitSerialNode();
                kit().Plug(false);
                pause(pick(50, 2000));
                kit().Plug(true);
                plugged.store(1);
                episodes.fetch_add(1);
                // Once the page has both channels again, it holds what it held before.
                if (!WaitUntil([] { return !KitHidNode().empty() && !KitSerialNode().empty(); },
                               RECONNECT_MS)) {
                    fail("the Kit's nodes did not come back");
                } else if (KitSerialNode() != serialNode) {
                    // The kernel gives a new number only while the old tty is still held.
                    std::printf("chaos: episode %d: the serial line came back as %s, not %s\n",
                                episodes.load(), KitSerialNode().c_str(), serialNode.c_str());
                }
            } else if (event == 2) {  // silent for a while
                kit().SetSilent(true);
                pause(pick(100, 1500));
                kit().SetSilent(false);
            } else if (event == 3) {  // stalls its OUT endpoint while the user may send
                kit().SetOutStalled(true);
                pause(pick(100, 3000));
                kit().SetOutStalled(false);
            } else if (event <= 7) {  // a burst on one channel
                Channel& channel = channels[event % 2];
                const int count = pick(1, 400);
                const int disturbances = channel.disturbances.load();
                const bool connected = ready.load() == plugEpoch.load();
                std::vector<uint8_t> bytes;
                for (int n = channel.next; n < channel.next + count; ++n) {
                    char line[16];
                    std::snprintf(line, sizeof line, "%c%06d\n", channel.letter, n);
                    bytes.insert(bytes.end(), line, line + 8);
                }
                Burst burst{channel.next, count, true};
                channel.next += count;
                const bool usb = event % 2 == 0;
                if (usb) {
                    kit().SendUsb(bytes);
                } else {
                    kit().SendSerial(bytes);
                }
                // Clean only if it left the board, and was taken, with nothing in between.
                const bool taken = kit().WaitFor(
                    [usb](const sim::gadget::CGadgetKit& k) {
                        return (usb ? k.UsbPending() : k.SerialPending()) == 0;
                    },
                    20000);
                pause(300);
                burst.clean = connected && taken && plugged.load() != 0 &&
                              channel.disturbances.load() == disturbances;
                std::lock_guard<std::mutex> hold(channel.mutex);
                channel.bursts.push_back(burst);
            } else {
                pause(pick(20, 500));
            }
            // Between events, with the Kit in: what the program holds returns to what it held.
            if (plugged.load() != 0 && event <= 1) {
                if (!haveBaseline) {
                    continue;
                }
                Holdings now;
                if (!WaitUntil([&] { return HoldsKitNodes() && (now = Now()) == baseline; },
                               RECONNECT_MS)) {
                    fail("episode " + std::to_string(episodes.load()) + ": " + now.Text() +
                         " after the replug, " + baseline.Text() + " before");
                }
            } else if (!haveBaseline && plugged.load() != 0 && HoldsKitNodes()) {
                baseline = Now();
                haveBaseline = true;
            }
        }
        boardDone.store(true);
    });

    // The user's side, on the GUI thread at random moments.
    std::mt19937 userRandom(seed + 1);
    const auto userPick = [&](int low, int high) {
        return std::uniform_int_distribution<int>(low, high)(userRandom);
    };
    QTimer user;
    user.setSingleShot(true);
    int boxesSeen = 0;
    int episodeSeen = 0;
    // A user's action disturbs its channel from its start until a second after its end: the
    // board's echo of a send is still on its way, and a log that stops and starts again misses
    // what comes meanwhile. A burst that overlaps any of it sees the count change.
    const auto disturb = [&](Channel& channel, const std::function<void()>& action) {
        channel.disturbances.fetch_add(1);
        action();
        channel.disturbances.fetch_add(1);
        QTimer::singleShot(1000, &user, [&channel] { channel.disturbances.fetch_add(1); });
    };
    QObject::connect(&user, &QTimer::timeout, [&] {
        const int boxesBefore = shown.Boxes();
        const int action = userPick(0, 11);
        switch (action) {
            case 0:
                disturb(channels[0], [&] { page->OnUsbSend(); });
                break;
            case 1:
                disturb(channels[1], [&] { page->OnRs232Send(); });
                break;
            case 2:
                page->OnUsbClear();
                break;
            case 3:
                page->OnRs232Clear();
                break;
            case 4:
                page->OnLedFlashing();
                break;
            case 5:
                page->OnLedStop();
                break;
            case 6:
            case 7: {
                TrafficView* view = views[action - 6];
                view->SetHexMode(!view->HexMode());
                view->SetTimestampMode(static_cast<TrafficView::TimestampMode>(userPick(0, 2)));
                break;
            }
            case 8:
            case 9: {  // logging off and on again, on the same file
                const int c = action - 8;
                disturb(channels[c], [&] {
                    logs[c]->StopLog();
                    logs[c]->StartLog();
                });
                if (!logs[c]->Logging()) {
                    fail("the log could not be started again");
                }
                break;
            }
            default:
                views[userPick(0, 1)]->SetPaused(userPick(0, 1) == 1);
                break;
        }
        // Boxes the user's own action asked for ("Please plug your board in !") are answered
        // and not counted against the board's episodes.
        userBoxes += shown.Boxes() - boxesBefore;
        user.start(userPick(20, 400));
    });
    user.start(100);

    // Each episode (an unplug and its replug) shows at most one box of its own.
    const auto started = Clock::now();
    const auto deadline = started + std::chrono::seconds(seconds);
    auto nextReport = started + std::chrono::minutes(10);
    while (Clock::now() < deadline) {
        QTest::qWait(100);
        const int epoch = plugEpoch.load();
        if (plugged.load() != 0 && StatusPaneText(0) == "Connected" && HoldsKitNodes()) {
            ready.store(epoch);
        }
        if (Clock::now() >= nextReport) {
            // How memory moves along a long run: what the heap holds in use against what it
            // keeps free tells a leak from memory the allocator keeps for later.
            nextReport += std::chrono::minutes(10);
            const struct mallinfo2 heap = ::mallinfo2();
            std::printf(
                "chaos: %lld s, %d episodes, RSS %+ld kB, heap %zu kB in use, %zu kB "
                "free\n",
                static_cast<long long>(
                    std::chrono::duration_cast<std::chrono::seconds>(Clock::now() - started)
                        .count()),
                episodes.load(), RssKb() - rssStartKb, heap.uordblks / 1024, heap.fordblks / 1024);
            std::fflush(stdout);
        }
        const int episode = episodes.load();
        const int boardBoxes = shown.Boxes() - userBoxes;
        if (episode != episodeSeen) {
            if (boardBoxes - boxesSeen > episode - episodeSeen) {
                fail("episode " + std::to_string(episode) + ": " +
                     std::to_string(boardBoxes - boxesSeen) + " boxes");
            }
            episodeSeen = episode;
            boxesSeen = boardBoxes;
        }
    }
    over.store(true);
    // The board's last event may wait for the page to reconnect, which needs the event loop.
    // No helper thread to join it: the board counts the program's threads until its end.
    while (!boardDone.load()) {
        QTest::qWait(20);
    }
    board.join();
    user.stop();
    for (TrafficView* view : views) {
        view->SetPaused(false);
    }
    // The board thread ends with the Kit plugged; the last bytes reach the logs, which are
    // then closed.
    QTest::qWait(1000);
    for (CTrafficFileMenu* log : logs) {
        log->StopLog();
    }
    const qint64 worstGap = pauses->Longest();
    const qint64 worstOwnGap = pauses->LongestOwn();
    const qint64 worstStall = pauses->LongestStall();
    // A user's action runs in a timer event, so a slow one shows here as that event's stretch.
    std::printf("chaos: the longest stretch of its own between two events: %lld ms, after %s\n",
                static_cast<long long>(pauses->LongestOwnStretch()),
                qPrintable(pauses->LongestStretchCause()));
    pauses.reset();
    const std::vector<int> echoed = Numbers(Latin1(kit().SerialReceived()), 'S', false);
    for (int c = 0; c < 2; ++c) {
        const std::string problem = CheckLog(
            logPaths[c], channels[c],
            c == 1 ? std::multiset<int>(echoed.begin(), echoed.end()) : std::multiset<int>{});
        EXPECT_TRUE(problem.empty()) << problem;
    }
    const long rssKb = RssKb();
    const auto closing = Clock::now();
    ClosePage();
    const auto closeMs =
        std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - closing).count();
    std::printf(
        "chaos: %d episodes, longest pause of the event loop %lld ms (%lld ms of its own; "
        "the machine's longest stall %lld ms), RSS %+ld kB over the run, closed in %lld ms\n",
        episodes.load(), static_cast<long long>(worstGap), static_cast<long long>(worstOwnGap),
        static_cast<long long>(worstStall), rssKb - rssStartKb, static_cast<long long>(closeMs));
    for (const std::string& failure : failures) {
        ADD_FAILURE() << failure;
    }
    // A failed run leaves its logs where the rig keeps its results, to be read afterwards.
    if ((HasFailure() || !failures.empty()) && QDir(QStringLiteral("build/kernel-rig")).exists()) {
        for (int c = 0; c < 2; ++c) {
            const QString kept = QStringLiteral("build/kernel-rig/chaos-%1-%2")
                                     .arg(seed)
                                     .arg(QFileInfo(logPaths[c]).fileName());
            QFile::remove(kept);
            QFile::copy(logPaths[c], kept);
            std::printf("chaos: the %s log is kept as %s\n", c == 0 ? "USB" : "RS232",
                        qPrintable(kept));
        }
    }
    if (!SANITIZED) {
        EXPECT_LE(worstOwnGap, 500);
        EXPECT_LT(rssKb - rssStartKb, 20 * 1024);
    }
    EXPECT_LE(closeMs, 2500);
}
