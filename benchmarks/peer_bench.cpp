// Palvex beside general serial terminals (GtkTerm, CuteCom) on equal terms: each program in
// turn gets a pseudo-terminal as its port, an X server of its own (a fresh Xvfb, the same
// screen for all) and the same stream at the same pace; a peer's window is sized to show about
// as many rows as Palvex's RS232 view. What a run costs is the program's
// CPU plus its X server's, from the moment both have settled until both have settled again
// after the last byte; divided by the MB fed, and the program must have read every byte
// (Palvex must also hold the stream's last bytes). Run by benchmarks/peers, which
// installs the peers and writes their wrappers.
//
//   peer_bench --palvex PATH [--gtkterm PATH] [--cutecom PATH] [--bytes N]
//              [--rate BYTES_PER_S] [--no-line-ends] [--repeat N] [--settle MS] [--shots DIR]
//
// A peer's PATH is a program taking the port as its only argument.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QCoreApplication>
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "benchmarks/perf_harness.h"

using namespace perf;

namespace {

constexpr const char* SCREEN = "1280x1024x24";
constexpr int START_MS = 15000;
constexpr int GOAL_PERCENT = 33;  // of the cheaper peer's CPU per MB: a third

struct Options {
    uint64_t bytes = 10u << 20;
    double rate = 100 * RS232_LINE_RATE;
    bool lineEnds = true;
    int repeat = 1;
    int settleMs = 1000;
    std::string shots;
};

struct Program {
    std::string name;               // as the figures name it
    std::vector<std::string> argv;  // the port is appended (a peer) or given as --port
    bool palvex = false;
    std::string size;           // "WIDTH HEIGHT" its window is given, so that it shows
                                // about as many rows as Palvex's view
    bool openWithAltO = false;  // CuteCom opens its port only when told to
};

struct Run {
    double programCpu = 0;
    double serverCpu = 0;
    long rssBeforeKb = 0;
    long rssAfterKb = 0;
    std::string visible;  // columns x rows of the text area, where the program says
    bool complete = false;
    std::string problem;
};

// True once process pid holds path open.
bool HoldsOpen(pid_t pid, const std::string& path) {
    std::error_code error;
    const std::filesystem::path fds = "/proc/" + std::to_string(pid) + "/fd";
    for (const auto& entry : std::filesystem::directory_iterator(fds, error)) {
        std::error_code ignored;
        if (std::filesystem::read_symlink(entry.path(), ignored) == path) {
            return true;
        }
    }
    return false;
}

// Waits until pid's CPU time grows by at most 1 % of a core over quietMs (its display work
// is done; a blinking cursor may still tick), at most 60 s; returns the CPU time then.
double SettledCpu(pid_t pid, int quietMs) {
    std::deque<std::pair<Clock::time_point, double>> samples;
    const Clock::time_point deadline = Clock::now() + std::chrono::seconds(60);
    while (true) {
        const Clock::time_point now = Clock::now();
        samples.emplace_back(now, ProcCpuSeconds(pid));
        while (now - samples.front().first > std::chrono::milliseconds(quietMs)) {
            samples.pop_front();
        }
        const bool spanned =
            now - samples.front().first >= std::chrono::milliseconds(quietMs - 100);
        if ((spanned && samples.back().second - samples.front().second <= quietMs / 100000.0) ||
            now >= deadline) {
            return samples.back().second;
        }
        WaitFor([] { return false; }, 100);
    }
}

long ProcRssKb(pid_t pid) {
    FILE* status = std::fopen(("/proc/" + std::to_string(pid) + "/status").c_str(), "r");
    long kb = -1;
    char line[256];
    while (status != nullptr && std::fgets(line, sizeof line, status) != nullptr) {
        if (std::strncmp(line, "VmRSS:", 6) == 0) {
            kb = std::atol(line + 6);
        }
    }
    if (status != nullptr) {
        std::fclose(status);
    }
    return kb;
}

void Stop(pid_t pid) {
    if (pid <= 0) {
        return;
    }
    kill(pid, SIGTERM);
    // Palvex's close sequence takes about a second; nothing needs longer.
    if (!WaitFor([pid] { return waitpid(pid, nullptr, WNOHANG) != 0; }, 5000)) {
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
    }
}

// Spawns argv with the given environment additions; the child's standard input and output
// become pipes when the caller asks for them, else /dev/null, and so does its standard error
// unless it is Palvex's (the peers and Xvfb chatter; Palvex prints only its boxes).
pid_t Spawn(const std::vector<std::string>& argv, const std::vector<std::string>& env, int* toChild,
            int* fromChild, bool keepErrors = false) {
    int in[2] = {-1, -1};
    int out[2] = {-1, -1};
    if ((toChild != nullptr && pipe(in) != 0) || (fromChild != nullptr && pipe(out) != 0)) {
        return -1;
    }
    const pid_t pid = fork();
    if (pid == 0) {
        const int null = open("/dev/null", O_RDWR);
        dup2(toChild != nullptr ? in[0] : null, STDIN_FILENO);
        dup2(fromChild != nullptr ? out[1] : null, STDOUT_FILENO);
        if (!keepErrors) {
            dup2(null, STDERR_FILENO);
        }
        for (const std::string& setting : env) {
            putenv(strdup(setting.c_str()));
        }
        std::vector<char*> args;
        for (const std::string& arg : argv) {
            args.push_back(const_cast<char*>(arg.c_str()));
        }
        args.push_back(nullptr);
        execvp(args[0], args.data());
        std::fprintf(stderr, "peer_bench: cannot start %s: %s\n", args[0], std::strerror(errno));
        _exit(127);
    }
    if (toChild != nullptr) {
        close(in[0]);
        *toChild = in[1];
    }
    if (fromChild != nullptr) {
        close(out[1]);
        fcntl(out[0], F_SETFL, O_NONBLOCK);
        *fromChild = out[0];
    }
    return pid;
}

// A fresh X server; Xvfb itself names a free display once it accepts clients.
bool StartXvfb(pid_t& pid, std::string& display) {
    int ready = -1;
    pid = Spawn({"Xvfb", "-displayfd", "1", "-screen", "0", SCREEN, "-nolisten", "tcp"}, {},
                nullptr, &ready);
    std::string number;
    WaitFor(
        [&] {
            char text[16];
            const ssize_t got = read(ready, text, sizeof text);
            if (got > 0) {
                number.append(text, static_cast<size_t>(got));
            }
            return number.find('\n') != std::string::npos || got == 0;
        },
        START_MS);
    close(ready);
    if (number.find('\n') == std::string::npos) {
        Stop(pid);
        return false;
    }
    // Appended, not ":" + ...: g++ 12 at -O3 sees a false overlap there (-Wrestrict).
    display = std::string(1, ':').append(number, 0, number.find('\n'));
    return true;
}

// Waits for one line from the child (the pipe is non-blocking); "" on time-out or exit.
std::string ReadLine(int fd, std::string& buffer, int timeoutMs) {
    std::string line;
    WaitFor(
        [&] {
            char text[4096];
            ssize_t got = read(fd, text, sizeof text);
            if (got > 0) {
                buffer.append(text, static_cast<size_t>(got));
            }
            const size_t end = buffer.find('\n');
            if (end != std::string::npos) {
                line = buffer.substr(0, end);
                buffer.erase(0, end + 1);
                return true;
            }
            return got == 0;
        },
        timeoutMs);
    return line;
}

void Screenshot(const std::string& display, const std::string& file) {
    const std::string command =
        "xwd -root -silent -display " + display + " | convert xwd:- '" + file + "' 2>/dev/null";
    if (std::system(command.c_str()) != 0) {
        std::fprintf(stderr, "peer_bench: no screenshot %s (needs xwd and convert)\n",
                     file.c_str());
    }
}

Run RunOnce(const Program& program, const Options& options, int index) {
    Run run;
    pid_t xvfb = 0;
    std::string display;
    if (!StartXvfb(xvfb, display)) {
        run.problem = "Xvfb did not start";
        return run;
    }
    CPty pty;
    std::vector<std::string> argv = program.argv;
    std::vector<std::string> env = {"DISPLAY=" + display};
    int toChild = -1;
    int fromChild = -1;
    std::string buffer;
    if (program.palvex) {
        argv.insert(argv.begin() + 1, {"--port", pty.SlavePath()});
        env.push_back("QT_QPA_PLATFORM=xcb");
    } else {
        argv.push_back(pty.SlavePath());
    }
    const pid_t pid = Spawn(argv, env, program.palvex ? &toChild : nullptr,
                            program.palvex ? &fromChild : nullptr, program.palvex);
    bool started = false;
    if (program.palvex) {
        const std::string line = ReadLine(fromChild, buffer, START_MS);
        started = line.rfind("ready ", 0) == 0;
        run.problem = started ? "" : line.rfind("unsupported: ", 0) == 0 ? line : "did not start";
        run.visible = started ? line.substr(6) : "";
    } else {
        // Its window first, then its size, then (CuteCom) its Open button's shortcut.
        const std::string command =
            "export DISPLAY=" + display + "; w=$(timeout 15 xdotool search --sync --onlyvisible " +
            "--pid " + std::to_string(pid) + " | head -n 1) && [ -n \"$w\" ] && " +
            "xdotool windowsize --sync $w " + program.size +
            (program.openWithAltO ? " windowfocus --sync $w key alt+o" : "");
        if (std::system(command.c_str()) != 0) {
            std::fprintf(stderr, "peer_bench: xdotool found no %s window\n", program.name.c_str());
        }
        started = WaitFor([&] { return HoldsOpen(pid, pty.SlavePath()); }, START_MS);
        run.problem = started ? "" : "did not open its port";
    }
    if (started) {
        // Both settle before the feed: the window mapped and drawn, the program idle.
        const double program0 = SettledCpu(pid, options.settleMs);
        const double server0 = SettledCpu(xvfb, options.settleMs);
        run.rssBeforeKb = ProcRssKb(pid);
        bool fedAll = false;
        {
            CFeeder feeder([&](const uint8_t* b, size_t n) { return pty.Write(b, n); },
                           options.bytes, options.rate, 4096, options.lineEnds, nullptr);
            const int timeoutMs = static_cast<int>(options.bytes / options.rate * 1000) + 120000;
            WaitFor([&] { return feeder.Done() && pty.Waiting() == 0; }, timeoutMs);
            fedAll = feeder.Done() && feeder.Sent() == options.bytes;
        }
        run.programCpu = SettledCpu(pid, options.settleMs) - program0;
        run.serverCpu = SettledCpu(xvfb, options.settleMs) - server0;
        run.rssAfterKb = ProcRssKb(pid);
        const int unread = pty.Waiting();
        if (!options.shots.empty()) {
            std::string file = program.name;
            std::replace(file.begin(), file.end(), ' ', '-');
            Screenshot(display, options.shots + "/" + file + "-" + std::to_string(index) + ".png");
        }
        run.complete = fedAll && unread == 0;
        if (!run.complete) {
            run.problem = "left " + std::to_string(unread) + " bytes unread, fed " +
                          (fedAll ? "all" : "not all");
        } else if (program.palvex) {
            // Its end state: the view holds the stream's last bytes, and no box came up.
            const size_t tailBytes = 200;
            std::vector<uint8_t> expected;
            FillStream(options.bytes - tailBytes, tailBytes, options.lineEnds, expected);
            static const char* digits = "0123456789abcdef";
            std::string hex = "tail ";
            for (const uint8_t byte : expected) {
                hex += digits[byte >> 4];
                hex += digits[byte & 15];
            }
            hex += " boxes 0";
            (void)!write(toChild, "check\n", 6);
            const std::string line = ReadLine(fromChild, buffer, 10000);
            const bool held = line.rfind(hex + " mode ", 0) == 0;
            const bool shows = line.find(" mode no") == std::string::npos;
            run.complete = held && shows;
            run.problem = !held    ? "does not end with the stream's last bytes, or showed a box"
                          : !shows ? "its view does not show the mode asked for"
                                   : "";
        }
    }
    if (toChild >= 0) {
        close(toChild);
    }
    if (fromChild >= 0) {
        close(fromChild);
    }
    Stop(pid);
    Stop(xvfb);
    return run;
}

double Median(std::vector<double> values) {
    return Percentile(std::move(values), 0.5);
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    std::vector<Program> programs;
    std::string palvex;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const char* value = i + 1 < argc ? argv[i + 1] : "";
        const bool takesValue = arg != "--no-line-ends";
        if (arg == "--gtkterm") {
            programs.push_back({"GtkTerm", {value}, false, "750 180"});
        } else if (arg == "--cutecom") {
            programs.push_back({"CuteCom", {value}, false, "650 340", true});
        } else if (arg == "--palvex") {
            palvex = value;
        } else if (arg == "--bytes") {
            options.bytes = std::strtoull(value, nullptr, 10);
        } else if (arg == "--rate") {
            options.rate = std::atof(value);
        } else if (arg == "--no-line-ends") {
            options.lineEnds = false;
        } else if (arg == "--repeat") {
            options.repeat = std::max(1, std::atoi(value));
        } else if (arg == "--settle") {
            options.settleMs = std::max(100, std::atoi(value));
        } else if (arg == "--shots") {
            options.shots = value;
        } else {
            std::fprintf(stderr, "peer_bench: unknown option %s\n", arg.c_str());
            return 2;
        }
        i += takesValue ? 1 : 0;
    }
    if (palvex.empty() || options.bytes < 200) {
        std::fprintf(stderr, "peer_bench: --palvex PATH is needed, and --bytes of 200 or more\n");
        return 2;
    }
    const size_t peers = programs.size();
    programs.push_back({"Palvex text", {palvex}, true, ""});
    programs.push_back({"Palvex hex", {palvex, "--hex"}, true, ""});
    programs.push_back({"Palvex timestamps", {palvex, "--timestamps=line"}, true, ""});
    programs.push_back({"Palvex hex+timestamps", {palvex, "--hex", "--timestamps=line"}, true, ""});
    QCoreApplication application(argc, argv);
    if (!options.shots.empty()) {
        std::filesystem::create_directories(options.shots);
    }

    const double megabytes = options.bytes / 1048576.0;
    std::printf(
        "== peers, one at a time: %.1f MB each at %.0f B/s, %s, %d round(s); each on a "
        "fresh Xvfb %s; CPU = program + X server\n",
        megabytes, options.rate, options.lineEnds ? "with line ends" : "no line ends",
        options.repeat, SCREEN);
    std::fflush(stdout);
    std::map<std::string, std::vector<Run>> runs;
    std::map<std::string, std::string> skipped;
    for (int round = 0; round < options.repeat; ++round) {
        // Each round starts with another program, so none is always first on a cold machine.
        for (size_t k = 0; k < programs.size(); ++k) {
            const Program& program = programs[(k + round) % programs.size()];
            if (skipped.count(program.name) != 0) {
                continue;
            }
            const Run run = RunOnce(program, options, round + 1);
            if (run.problem.rfind("unsupported: ", 0) == 0) {
                skipped[program.name] = run.problem.substr(13);
                std::printf("  %-22s skipped: %s\n", program.name.c_str(),
                            skipped[program.name].c_str());
                continue;
            }
            runs[program.name].push_back(run);
            std::printf(
                "  %-22s round %d: %.3f + %.3f (Xvfb) CPU s/MB; RSS %.1f -> %.1f MB; "
                "%s%s%s\n",
                program.name.c_str(), round + 1, run.programCpu / megabytes,
                run.serverCpu / megabytes, run.rssBeforeKb / 1024.0, run.rssAfterKb / 1024.0,
                run.complete ? "read every byte" : "INCOMPLETE: ", run.problem.c_str(),
                run.visible.empty() ? "" : ("; view " + run.visible).c_str());
            std::fflush(stdout);
        }
    }

    // Each program's figure is the median over the rounds; complete only when every round was.
    std::map<std::string, double> perMb;
    std::map<std::string, bool> complete;
    bool allComplete = true;
    for (const Program& program : programs) {
        const auto found = runs.find(program.name);
        if (found == runs.end()) {
            continue;
        }
        std::vector<double> totals;
        bool& all = complete[program.name] = true;
        for (const Run& run : found->second) {
            totals.push_back((run.programCpu + run.serverCpu) / megabytes);
            all = all && run.complete;
        }
        allComplete = allComplete && all;
        perMb[program.name] = Median(totals);
        char spread[64];
        std::snprintf(spread, sizeof spread, "rounds %.3f-%.3f (n=%zu)",
                      *std::min_element(totals.begin(), totals.end()),
                      *std::max_element(totals.begin(), totals.end()), totals.size());
        PrintFigure(program.name + " + Xvfb CPU per MB shown", perMb[program.name], "CPU s/MB",
                    spread, all);
    }
    std::string cheaper;
    for (size_t k = 0; k < peers; ++k) {
        const std::string& name = programs[k].name;
        // A peer that did not read every byte is no yardstick.
        if (complete.count(name) != 0 && complete[name] &&
            (cheaper.empty() || perMb[name] < perMb[cheaper])) {
            cheaper = name;
        }
    }
    char goal[64];
    std::snprintf(goal, sizeof goal, "goal <= 0.%d x %s", GOAL_PERCENT,
                  cheaper.empty() ? "a peer" : cheaper.c_str());
    for (size_t k = peers; k < programs.size(); ++k) {
        const std::string& name = programs[k].name;
        const std::string figure = "ratio " + name + " / cheaper peer";
        if (skipped.count(name) != 0) {
            std::printf("%-44s %12s %-8s %-34s SKIP\n", figure.c_str(), "-", "", goal);
        } else if (cheaper.empty() || perMb.count(name) == 0) {
            std::printf("%-44s %12s %-8s %-34s FAIL\n", figure.c_str(), "-", "",
                        cheaper.empty() ? "no peer ran" : "Palvex did not run");
        } else {
            const double ratio = perMb[name] / perMb[cheaper];
            PrintFigure(figure, ratio, "x", goal, ratio <= GOAL_PERCENT / 100.0);
        }
    }
    for (const auto& [name, why] : skipped) {
        std::printf("  %s skipped: %s; its run needs the view's option\n", name.c_str(),
                    why.c_str());
    }
    std::printf("peer_bench: %s\n", allComplete && !cheaper.empty() ? "PASS" : "FAIL");
    return allComplete && !cheaper.empty() ? 0 : 1;
}
