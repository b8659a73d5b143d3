// The program as a whole: idle CPU of palvex-sim and of a driver built like it (before and
// after an unplug), start-up to the main window shown, and window close to process exit in
// each shutdown case. Prints each figure beside the goal it is compared with.
//
//   app_bench idle-sim [--seconds S]     palvex-sim itself, offscreen, Kit attached
//   app_bench idle [--seconds S]         the same objects in this process; then unplugged
//   app_bench lifecycle [--runs N]       start-up and exit, each case in a fresh process
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QApplication>
#include <QTimer>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "app/board_app.h"
#include "app/kit_notice_dlg.h"
#include "app/main_dialog.h"
#include "app/sim_window.h"
#include "app/status_bar.h"
#include "benchmarks/perf_harness.h"
#include "platform/platform.h"
#include "platform/qt_message_box.h"
#include "sim/sim_kit.h"
#include "sim/sim_platform.h"

using namespace perf;

namespace {

constexpr double IDLE_GOAL_PERCENT = 0.5;
constexpr double EXIT_GOAL_S = 1.6;
const char* const CASES[] = {"answering",   "silent",    "unplugged",
                             "notice-open", "error-box", "traffic"};

int64_t MonotonicNs() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return int64_t{now.tv_sec} * 1000000000 + now.tv_nsec;
}

bool Connected() {
    return StatusPaneText(2).rfind("Firmware Version: K", 0) == 0 &&
           StatusPaneText(0) == "Connected";
}

bool NoticeOpen() {
    for (QWidget* widget : QApplication::topLevelWidgets()) {
        if (qobject_cast<CKitNoticeDlg*>(widget) != nullptr && widget->isVisible()) {
            return true;
        }
    }
    return false;
}

// Steps run one after another on the GUI thread while the program's own event loop runs:
// each step waits (polled every 10 ms) until its condition holds, then acts.
class CScript : public QObject {
  public:
    struct Step {
        std::function<bool()> ready;
        std::function<void()> act;
        int delayMs = 0;  // after the condition holds, before acting
    };
    explicit CScript(std::vector<Step> steps) : steps(std::move(steps)) {
        timer.setSingleShot(true);
        connect(&timer, &QTimer::timeout, this, [this] { Poll(); });
        timer.start(0);
    }

  private:
    void Poll() {
        if (index >= steps.size()) {
            return;
        }
        Step& step = steps[index];
        if (!waitingDelay) {
            if (step.ready && !step.ready()) {
                timer.start(10);
                return;
            }
            if (step.delayMs > 0) {
                waitingDelay = true;
                timer.start(step.delayMs);
                return;
            }
        }
        waitingDelay = false;
        ++index;
        if (step.act) {
            step.act();
        }
        timer.start(0);
    }

    std::vector<Step> steps;
    size_t index = 0;
    bool waitingDelay = false;
    QTimer timer;
};

// Reports the first paint of the main window, the moment the user can see it.
class CShownWatcher : public QObject {
  public:
    CShownWatcher() { qApp->installEventFilter(this); }
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (event->type() == QEvent::Paint && watched == g_mainDialog && !seen) {
            seen = true;
            std::printf("shown %lld\n", static_cast<long long>(MonotonicNs()));
            std::fflush(stdout);
        }
        return false;
    }

  private:
    bool seen = false;
};

// The objects palvex-sim builds, in its order, with `script` steps run alongside; the first
// paint of the main window is reported on stdout when reportShown.
int RunLikePalvexSim(
    char* program,
    const std::function<std::vector<CScript::Step>(CSimKit&, CQtMessageBoxSink&)>& script,
    bool reportShown, const std::function<void()>& afterRun = {}) {
    int qtArgc = 1;
    char* qtArgv[] = {program, nullptr};
    QApplication application(qtArgc, qtArgv);
    CSimKit kit;
    kit.PlugUsb(true);
    kit.ConnectSerial(true);
    CQtMessageBoxSink boxes;
    const platform::Platform platform = SimPlatform(kit, boxes);
    CSimWindow simWindow(kit);
    CBoardApp app(platform, &boxes);
    std::unique_ptr<CShownWatcher> watcher;
    if (reportShown) {
        watcher = std::make_unique<CShownWatcher>();
    }
    CScript steps(script(kit, boxes));
    const int code = app.Run(&simWindow);
    if (afterRun) {
        afterRun();
    }
    return code;
}

void CloseMainWindow() {
    std::printf("close %lld\n", static_cast<long long>(MonotonicNs()));
    std::fflush(stdout);
    g_mainDialog->close();
}

// One lifecycle case in this process: start, connect, set the case up, close.
int RunChild(char* program, const std::string& which) {
    std::atomic<bool> stopTraffic{false};
    std::vector<std::thread> traffic;
    const auto script = [&](CSimKit& kit, CQtMessageBoxSink& boxes) {
        std::vector<CScript::Step> steps;
        steps.push_back({Connected, nullptr, 200});
        if (which == "silent") {
            steps.push_back({nullptr, [&kit] { kit.SetSilent(true); }});
        } else if (which == "unplugged" || which == "notice-open") {
            steps.push_back({nullptr, [&kit] { kit.PlugUsb(false); }});
            steps.push_back({NoticeOpen, nullptr});
            if (which == "unplugged") {
                steps.push_back({[] { return !NoticeOpen(); }, nullptr, 100});
            }
        } else if (which == "error-box") {
            steps.push_back({nullptr, [&kit] { kit.ConnectSerial(false); }});
            steps.push_back({[&boxes] { return boxes.OpenBoxes() > 0; }, nullptr});
        } else if (which == "traffic") {
            steps.push_back({nullptr,
                             [&] {
                                 traffic.emplace_back([&] {
                                     std::vector<uint8_t> bytes;
                                     for (uint64_t at = 0; !stopTraffic.load(); at += 448) {
                                         FillStream(at, 448, true, bytes);
                                         kit.SendUsb(bytes);
                                     }
                                 });
                                 traffic.emplace_back([&] {
                                     std::vector<uint8_t> bytes;
                                     for (uint64_t at = 0; !stopTraffic.load(); at += 256) {
                                         FillStream(at, 256, false, bytes);
                                         kit.SendSerial(bytes);
                                         std::this_thread::sleep_for(std::chrono::milliseconds(1));
                                     }
                                 });
                             },
                             1000});
        }
        steps.push_back({nullptr, CloseMainWindow});
        return steps;
    };
    return RunLikePalvexSim(program, script, true, [&] {
        stopTraffic.store(true);
        for (std::thread& thread : traffic) {
            thread.join();
        }
    });
}

struct ChildTimes {
    double startupS = -1;
    double exitS = -1;
    int status = -1;
};

ChildTimes Lifecycle(const char* self, const std::string& which, const std::string& runDir) {
    ChildTimes times;
    int pipeFds[2];
    if (pipe(pipeFds) != 0) {
        return times;
    }
    const int64_t started = MonotonicNs();
    const pid_t child = fork();
    if (child == 0) {
        dup2(pipeFds[1], STDOUT_FILENO);
        close(pipeFds[0]);
        close(pipeFds[1]);
        if (chdir(runDir.c_str()) != 0) {
            _exit(126);
        }
        execl(self, self, "child", which.c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    close(pipeFds[1]);
    std::string output;
    char buffer[256];
    ssize_t got;
    while ((got = read(pipeFds[0], buffer, sizeof buffer)) > 0) {
        output.append(buffer, static_cast<size_t>(got));
    }
    close(pipeFds[0]);
    int status = 0;
    waitpid(child, &status, 0);
    const int64_t exited = MonotonicNs();
    times.status = status;
    std::istringstream lines(output);
    std::string word;
    long long stamp = 0;
    while (lines >> word >> stamp) {
        if (word == "shown") {
            times.startupS = (stamp - started) / 1e9;
        } else if (word == "close") {
            times.exitS = (exited - stamp) / 1e9;
        }
    }
    return times;
}

int Idle(char* program, double seconds) {
    double plugged = -1;
    double unplugged = -1;
    double phaseStart = 0;
    const auto script = [&](CSimKit& kit, CQtMessageBoxSink&) {
        std::vector<CScript::Step> steps;
        // Settled: connected, the version poll over, the first timers done.
        steps.push_back({Connected, [&] { phaseStart = ProcessCpuSeconds(); }, 3000});
        steps.push_back({nullptr,
                         [&] {
                             plugged = ProcessCpuSeconds() - phaseStart;
                             kit.PlugUsb(false);
                         },
                         static_cast<int>(seconds * 1000)});
        steps.push_back({NoticeOpen, nullptr});
        steps.push_back(
            {[] { return !NoticeOpen(); }, [&] { phaseStart = ProcessCpuSeconds(); }, 2000});
        steps.push_back({nullptr,
                         [&] {
                             unplugged = ProcessCpuSeconds() - phaseStart;
                             g_mainDialog->close();
                         },
                         static_cast<int>(seconds * 1000)});
        return steps;
    };
    RunLikePalvexSim(program, script, false);
    std::printf("== idle: the objects of palvex-sim in this process, offscreen, %.0f s each\n",
                seconds);
    const double pluggedPercent = 100 * plugged / seconds;
    const double unpluggedPercent = 100 * unplugged / seconds;
    PrintFigure("idle CPU, Kit attached", plugged, "CPU s", "", true);
    PrintFigure("idle CPU, Kit attached, % of one core", pluggedPercent, "%", "goal < 0.5 %",
                pluggedPercent < IDLE_GOAL_PERCENT);
    PrintFigure("idle CPU after an unplug", unplugged, "CPU s", "", true);
    PrintFigure("idle CPU after an unplug, % of one core", unpluggedPercent, "%", "goal < 0.5 %",
                unpluggedPercent < IDLE_GOAL_PERCENT);
    const bool pass = pluggedPercent < IDLE_GOAL_PERCENT && unpluggedPercent < IDLE_GOAL_PERCENT;
    std::printf("app_bench idle: %s\n", pass ? "PASS" : "FAIL");
    return pass ? 0 : 1;
}

int IdleSim(double seconds) {
    const std::string program = std::string(PALVEX_BINARY_DIR) + "/palvex-sim";
    const std::string runDir = MakeRunDirectory();
    const pid_t child = fork();
    if (child == 0) {
        if (chdir(runDir.c_str()) != 0) {
            _exit(126);
        }
        setenv("QT_QPA_PLATFORM", "offscreen", 1);
        execl(program.c_str(), program.c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    // Long enough for the first supervisor tick, the version request and its poll.
    std::this_thread::sleep_for(std::chrono::seconds(5));
    const double before = ProcCpuSeconds(child);
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
    const double after = ProcCpuSeconds(child);
    kill(child, SIGTERM);
    int status = 0;
    waitpid(child, &status, 0);
    std::filesystem::remove_all(runDir);
    const double used = after - before;
    const double percent = 100 * used / seconds;
    std::printf("== idle: palvex-sim, offscreen, Kit attached, no traffic, %.0f s\n", seconds);
    PrintFigure("palvex-sim idle CPU", used, "CPU s", "", before >= 0);
    PrintFigure("palvex-sim idle CPU, % of one core", percent, "%", "goal < 0.5 %",
                before >= 0 && percent < IDLE_GOAL_PERCENT);
    const bool pass = before >= 0 && percent < IDLE_GOAL_PERCENT;
    std::printf("app_bench idle-sim: %s\n", pass ? "PASS" : "FAIL");
    return pass ? 0 : 1;
}

int LifecycleAll(const char* self, int runs) {
    const std::string runDir = MakeRunDirectory();
    std::vector<double> startups;
    bool pass = true;
    std::printf("== start-up and exit, %d run(s) per case, offscreen\n", runs);
    for (const char* which : CASES) {
        std::vector<double> exits;
        for (int run = 0; run < runs; ++run) {
            const ChildTimes times = Lifecycle(self, which, runDir);
            if (times.startupS < 0 || times.exitS < 0 || !WIFEXITED(times.status) ||
                WEXITSTATUS(times.status) != 0) {
                std::printf("  %s: run %d did not complete (status %d)\n", which, run,
                            times.status);
                pass = false;
                continue;
            }
            startups.push_back(times.startupS);
            exits.push_back(times.exitS);
        }
        const double worst = exits.empty() ? NAN : Percentile(exits, 1.0);
        PrintFigure(std::string("close to exit, ") + which + ", median", Percentile(exits, 0.5),
                    "s", "", true);
        PrintFigure(std::string("close to exit, ") + which + ", worst", worst, "s", "goal <= 1.6 s",
                    !exits.empty() && worst <= EXIT_GOAL_S);
        pass = pass && !exits.empty() && worst <= EXIT_GOAL_S;
    }
    PrintFigure("start-up to the main window shown, best", Percentile(startups, 0.0001), "s", "",
                true);
    PrintFigure("start-up to the main window shown, median", Percentile(startups, 0.5), "s", "",
                true);
    std::filesystem::remove_all(runDir);
    std::printf("app_bench lifecycle: %s\n", pass ? "PASS" : "FAIL");
    return pass ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    const std::string mode = argc > 1 ? argv[1] : "";
    double seconds = 30;
    int runs = 3;
    for (int i = 2; i + 1 < argc; i += 2) {
        if (std::strcmp(argv[i], "--seconds") == 0) {
            seconds = std::atof(argv[i + 1]);
        } else if (std::strcmp(argv[i], "--runs") == 0) {
            runs = std::atoi(argv[i + 1]);
        }
    }
    UseOffscreenByDefault();
    if (mode == "child" && argc > 2) {
        return RunChild(argv[0], argv[2]);
    }
    if (mode == "idle") {
        const std::string runDir = MakeRunDirectory();
        if (chdir(runDir.c_str()) != 0) {
            return 1;
        }
        const int code = Idle(argv[0], seconds);
        std::filesystem::remove_all(runDir);
        return code;
    }
    if (mode == "idle-sim") {
        return IdleSim(seconds);
    }
    if (mode == "lifecycle") {
        // The children are started by path; /proc/self/exe is this very program.
        const std::string self = std::filesystem::read_symlink("/proc/self/exe");
        return LifecycleAll(self.c_str(), runs);
    }
    std::fprintf(stderr, "usage: app_bench idle-sim|idle [--seconds S] | lifecycle [--runs N]\n");
    return 2;
}
