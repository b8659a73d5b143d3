// Side by side with a general serial terminal: GtkTerm reads one pty, the page's RS232
// channel another; both are fed the same stream at the same pace, and the CPU seconds each
// spends per MB it displays are compared. Run by benchmarks/peer_gtkterm, which provides the
// X display GtkTerm needs.
//
//   peer_bench --gtkterm PATH [--xvfb-pid PID] [--bytes N] [--rate BYTES_PER_S] [--no-line-ends]
//              [--hex] [--timestamps=line|chunk]   (how our view shows the bytes)
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QApplication>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>

#include "bench/traffic_view.h"
#include "benchmarks/perf_harness.h"

using namespace perf;

namespace {

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

// Waits until pid's CPU time stops growing for quietMs (its display work is done).
double SettledCpu(pid_t pid, int quietMs) {
    double last = ProcCpuSeconds(pid);
    Clock::time_point still = Clock::now();
    const Clock::time_point deadline = Clock::now() + std::chrono::seconds(60);
    while (Clock::now() < deadline) {
        WaitFor([] { return false; }, 100);
        const double now = ProcCpuSeconds(pid);
        if (now != last) {
            last = now;
            still = Clock::now();
        } else if (Clock::now() - still >= std::chrono::milliseconds(quietMs)) {
            break;
        }
    }
    return last;
}

}  // namespace

int main(int argc, char** argv) {
    std::string gtkterm = "gtkterm";
    pid_t xvfb = 0;
    uint64_t bytes = 10u << 20;
    double rate = 100 * RS232_LINE_RATE;
    bool lineEnds = true;
    bool hex = false;
    auto timestamps = TrafficView::TimestampMode::Off;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const char* value = i + 1 < argc ? argv[i + 1] : "";
        if (arg == "--gtkterm") {
            gtkterm = value;
            ++i;
        } else if (arg == "--xvfb-pid") {
            xvfb = std::atoi(value);
            ++i;
        } else if (arg == "--bytes") {
            bytes = std::strtoull(value, nullptr, 10);
            ++i;
        } else if (arg == "--rate") {
            rate = std::atof(value);
            ++i;
        } else if (arg == "--no-line-ends") {
            lineEnds = false;
        } else if (arg == "--hex") {
            hex = true;
        } else if (arg == "--timestamps=line") {
            timestamps = TrafficView::TimestampMode::Line;
        } else if (arg == "--timestamps=chunk") {
            timestamps = TrafficView::TimestampMode::Chunk;
        } else {
            std::fprintf(stderr, "peer_bench: unknown option %s\n", arg.c_str());
            return 2;
        }
    }
    // Ours on the offscreen platform; GtkTerm on the X display the caller set.
    qputenv("QT_QPA_PLATFORM", "offscreen");
    const std::string runDir = MakeRunDirectory();
    if (chdir(runDir.c_str()) != 0) {
        return 1;
    }
    int qtArgc = 1;
    QApplication application(qtArgc, argv);

    CPty peerPty;
    CPageUnderTest page;
    if (!page.Start()) {
        std::fprintf(stderr, "peer_bench: the page did not connect both channels\n");
        return 1;
    }
    page.Rs232View().SetHexMode(hex);
    page.Rs232View().SetTimestampMode(timestamps);
    const pid_t peer = fork();
    if (peer == 0) {
        const int null = open("/dev/null", O_RDWR);
        dup2(null, STDOUT_FILENO);
        dup2(null, STDERR_FILENO);
        execlp(gtkterm.c_str(), gtkterm.c_str(), "--port", peerPty.SlavePath().c_str(), "--speed",
               "19200", static_cast<char*>(nullptr));
        _exit(127);
    }
    if (!WaitFor([&] { return HoldsOpen(peer, peerPty.SlavePath()); }, 15000)) {
        std::fprintf(stderr, "peer_bench: GtkTerm did not open %s\n", peerPty.SlavePath().c_str());
        kill(peer, SIGTERM);
        waitpid(peer, nullptr, 0);
        return 1;
    }
    // Both settle before the feed: GtkTerm's window mapped, our page idle.
    const double peer0 = SettledCpu(peer, 1000);
    const double xvfb0 = xvfb > 0 ? ProcCpuSeconds(xvfb) : 0;
    const double ours0 = ProcessCpuSeconds();

    std::printf("== side by side with GtkTerm: %.1f MB each at %.0f B/s, %s%s%s\n",
                bytes / 1048576.0, rate, lineEnds ? "with line ends" : "no line ends",
                hex ? ", ours in hex" : "",
                timestamps == TrafficView::TimestampMode::Off ? "" : ", ours with timestamps");
    std::fflush(stdout);
    CStreamProbe probe(page.Rs232View(), lineEnds, nullptr);
    const Clock::time_point start = Clock::now();
    double feedersCpu = 0;
    {
        CFeeder toPeer([&](const uint8_t* b, size_t n) { return peerPty.Write(b, n); }, bytes, rate,
                       4096, lineEnds, nullptr);
        CFeeder toOurs([&](const uint8_t* b, size_t n) { return page.Pty().Write(b, n); }, bytes,
                       rate, 4096, lineEnds, nullptr);
        const int timeoutMs = static_cast<int>(bytes / rate * 1000) + 120000;
        WaitFor(
            [&] {
                return toPeer.Done() && toOurs.Done() && probe.Reached() >= bytes &&
                       peerPty.Waiting() == 0;
            },
            // Looking every 2 ms would cost our process 500 wake-ups a second that are the
            // driver's, not the program's.
            timeoutMs, 100);
        feedersCpu = toPeer.ThreadCpu() + toOurs.ThreadCpu();
    }
    const double fedSeconds = SecondsSince(start);
    const double peerCpu = SettledCpu(peer, 1000) - peer0;
    // Our GUI thread has finished its last frame well within this.
    WaitFor([] { return false; }, 500);
    const double oursCpu = ProcessCpuSeconds() - ours0 - feedersCpu;
    const double xvfbCpu = xvfb > 0 ? ProcCpuSeconds(xvfb) - xvfb0 : 0;
    const int unread = peerPty.Waiting();
    kill(peer, SIGTERM);
    waitpid(peer, nullptr, 0);

    const double megabytes = bytes / 1048576.0;
    const double shownMb = probe.Shown() / 1048576.0;
    std::printf(
        "  fed in %.1f s; GtkTerm left %d bytes unread; ours shown %.2f MB, passed over "
        "%llu bytes, lost %llu\n",
        fedSeconds, unread, shownMb, static_cast<unsigned long long>(probe.PassedOver()),
        static_cast<unsigned long long>(probe.Lost()));
    PrintFigure("GtkTerm CPU per MB displayed", peerCpu / megabytes, "CPU s/MB", "", unread == 0);
    if (xvfb > 0) {
        PrintFigure("GtkTerm + Xvfb CPU per MB displayed", (peerCpu + xvfbCpu) / megabytes,
                    "CPU s/MB", "", true);
    }
    PrintFigure("ours (whole program) CPU per MB displayed", oursCpu / shownMb, "CPU s/MB", "",
                probe.Lost() == 0);
    PrintFigure("ratio ours / GtkTerm", (oursCpu / shownMb) / (peerCpu / megabytes), "x",
                "lower is cheaper", true);
    if (xvfb > 0) {
        PrintFigure("ratio ours / (GtkTerm + Xvfb)",
                    (oursCpu / shownMb) / ((peerCpu + xvfbCpu) / megabytes), "x",
                    "lower is cheaper", true);
    }
    page.Close();
    std::filesystem::remove_all(runDir);
    const bool pass = unread == 0 && probe.Lost() == 0 && probe.Reached() >= bytes;
    std::printf("peer_bench: %s\n", pass ? "PASS" : "FAIL");
    return pass ? 0 : 1;
}
