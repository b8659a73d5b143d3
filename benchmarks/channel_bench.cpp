// End-to-end traffic through the whole page: the simulated Kit's input reports through the
// HID reader, usbRxRing and the USB worker, and a pty's bytes through the termios backend
// and the RS232 worker, into the offscreen traffic views. Prints each figure beside the line
// limit it is compared with.
//
//   channel_bench usb|serial|both [--no-line-ends] [--bytes N]
//       as fast as the path takes them (1 MiB per channel by default)
//   channel_bench usb|serial|both|latency [--no-line-ends] --factor F [--seconds S]
//       each channel paced at F times its line rate for S seconds (latency: F 1 by default)
//   channel_bench memory [--megabytes M]
// --load N runs N busy processes at normal priority beside it, each in a session of its own as a
// firmware build started in another terminal would be, so the latency goal is also measured on
// a machine with every core taken. --load-same-session N runs them in this program's session,
// as a build started from the same terminal, or any load on a machine that does not group by
// session: there the kernel's scheduling group holds the load and the page together.
// --sending (latency only) clicks the page's RS232 Send every 75 ms with a full box meanwhile,
// so the received bytes' latency is measured while the page writes on the same channel; the
// pty's queue drains at 19200 baud as a real line's would (CLinePacedPorts).
// --tools shows both views in hex with a time at each line and logs both channels to files,
// which must then hold every byte.
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QAbstractButton>
#include <QApplication>
#include <QLineEdit>
#include <QTimer>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <memory>
#include <string>

#include "app/main_dialog.h"
#include "bench/test_page.h"
#include "bench/traffic_file.h"
#include "bench/traffic_view.h"
#include "benchmarks/perf_harness.h"

using namespace perf;

namespace {

struct Options {
    std::string mode;
    bool lineEnds = true;
    bool tools = false;
    double factor = 0;  // multiple of each line rate to pace at; 0: as fast as it goes
    double seconds = 10;
    uint64_t bytes = 0;
    double megabytes = 50;
    int load = 0;  // busy processes to run beside
    bool loadInOwnSessions = true;
    bool sending = false;
};

// Processes that spin at normal priority until this object goes, or this program ends.
class CBusyLoad {
  public:
    CBusyLoad(int processes, bool ownSessions) {
        for (int i = 0; i < processes; ++i) {
            const pid_t child = ::fork();
            if (child == 0) {
                // Only spinning after the fork: nothing of the parent's threads is touched.
                ::prctl(PR_SET_PDEATHSIG, SIGKILL);
                // Its own session, hence its own scheduling group where the kernel groups by
                // session, as a build in another terminal.
                if (ownSessions) {
                    ::setsid();
                }
                volatile uint64_t spins = 0;
                for (;;) {
                    spins = spins + 1;
                }
            }
            if (child > 0) {
                children.push_back(child);
            }
        }
    }
    ~CBusyLoad() {
        for (const pid_t child : children) {
            ::kill(child, SIGKILL);
            ::waitpid(child, nullptr, 0);
        }
    }
    CBusyLoad(const CBusyLoad&) = delete;
    CBusyLoad& operator=(const CBusyLoad&) = delete;

  private:
    std::vector<pid_t> children;
};

// Time the kernel's unbound workers spent runnable but not running, and their runs, per pid
// (/proc/<pid>/schedstat). One of them moves every byte a tty receives to its reader, so a
// serial latency those waits explain is the kernel's, not the page's.
using WorkerWaits = std::map<int, std::pair<uint64_t, uint64_t>>;

WorkerWaits KernelWorkerWaits() {
    WorkerWaits waits;
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator("/proc", error)) {
        const std::string name = entry.path().filename().string();
        if (name.find_first_not_of("0123456789") != std::string::npos) {
            continue;
        }
        std::string comm;
        std::getline(std::ifstream(entry.path() / "comm"), comm);
        uint64_t running = 0;
        uint64_t waiting = 0;
        uint64_t runs = 0;
        if (comm.rfind("kworker/u", 0) == 0 &&
            (std::ifstream(entry.path() / "schedstat") >> running >> waiting >> runs)) {
            waits[std::stoi(name)] = {waiting, runs};
        }
    }
    return waits;
}

void PrintWorkerWaits(const WorkerWaits& before, const WorkerWaits& after) {
    uint64_t waitedNs = 0;
    uint64_t runs = 0;
    for (const auto& [pid, now] : after) {
        const auto then = before.find(pid);
        const std::pair<uint64_t, uint64_t> start =
            then != before.end() ? then->second : std::pair<uint64_t, uint64_t>{0, 0};
        waitedNs += now.first - std::min(now.first, start.first);
        runs += now.second - std::min(now.second, start.second);
    }
    std::printf(
        "  the kernel's unbound workers (a tty's received bytes pass through one): "
        "%.1f ms waiting to run over %llu runs, %.3f ms a run\n",
        waitedNs / 1e6, static_cast<unsigned long long>(runs),
        runs > 0 ? waitedNs / 1e6 / runs : 0.0);
}

// Clicks the page's RS232 Send with a full box every SEND_PERIOD_MS, as a user or a script
// driving the window would, and takes what reaches the board's end of the line.
class CSendClicker {
  public:
    static constexpr int SEND_PERIOD_MS = 75;
    static constexpr int SEND_BOX = 1011;
    static constexpr int SEND_BUTTON = 1009;

    explicit CSendClicker(CPty& pty) : pty(pty) {
        qobject_cast<QLineEdit*>(g_testPage->Control(SEND_BOX))
            ->setText(QString(SEND_BUFFER_SIZE, QLatin1Char('s')));
        button = qobject_cast<QAbstractButton*>(g_testPage->Control(SEND_BUTTON));
        QObject::connect(&timer, &QTimer::timeout, [this] { Click(); });
        timer.start(SEND_PERIOD_MS);
    }
    // Stops clicking and waits, bounded, until every byte sent has reached the board's end.
    void Finish() {
        timer.stop();
        WaitFor([this] { return (arrived += this->pty.TakeWritten()) >= Expected(); }, 5000);
    }
    uint64_t Expected() const { return uint64_t{SEND_BUFFER_SIZE} * clicks; }
    uint64_t Arrived() const { return arrived; }
    // How long each click kept the GUI thread from everything else.
    std::vector<double>& HeldMs() { return heldMs; }

  private:
    void Click() {
        arrived += pty.TakeWritten();
        const Clock::time_point start = Clock::now();
        button->click();
        heldMs.push_back(1000 * SecondsSince(start));
        ++clicks;
    }

    CPty& pty;
    QAbstractButton* button = nullptr;
    QTimer timer;
    uint64_t clicks = 0;
    uint64_t arrived = 0;
    std::vector<double> heldMs;
};

struct ChannelSetup {
    bool active = false;
    uint64_t bytes = 0;
    double rate = 0;
};

struct ChannelResult {
    uint64_t bytes = 0;
    double seconds = 0;      // first byte sent to last byte in the document
    double sendSeconds = 0;  // first byte sent to last byte sent
    uint64_t shown = 0;
    uint64_t passedOver = 0;
    uint64_t lost = 0;
    std::vector<double> latenciesMs;
    std::vector<double> withinPageMs;  // from the page's read to the view
};

struct RunResult {
    ChannelResult usb;
    ChannelResult serial;
    double wallSeconds = 0;
    double processCpu = 0;
    double guiCpu = 0;
    int droppedReports = 0;
};

constexpr size_t USB_CHUNK = 7 * 64;  // one full hidraw queue of reports per call
constexpr size_t SERIAL_CHUNK = 4096;

// Notes when the page's workers hand each chunk to a view: the latency from there on is the
// page's own, whatever the kernel's part before it. Taps only where the views log nothing,
// since a log takes the view's one tap.
class CArrivalTaps {
  public:
    CArrivalTaps(CPageUnderTest& page, bool enabled) : page(page), enabled(enabled) {
        if (enabled) {
            Tap(page.UsbView(), usb);
            Tap(page.Rs232View(), serial);
        }
    }
    ~CArrivalTaps() {
        if (enabled) {
            page.UsbView().SetTap({});
            page.Rs232View().SetTap({});
        }
    }
    CArrivalTaps(const CArrivalTaps&) = delete;
    CArrivalTaps& operator=(const CArrivalTaps&) = delete;
    CSendLog* Usb() { return enabled ? &usb : nullptr; }
    CSendLog* Serial() { return enabled ? &serial : nullptr; }

  private:
    static void Tap(TrafficView& view, CSendLog& log) {
        // Only the channel's worker appends, so the count needs no guard.
        view.SetTap([&log, taken = uint64_t{0}](const uint8_t*, size_t count, qint64) mutable {
            taken += count;
            log.Add(taken, Clock::now());
        });
    }

    CPageUnderTest& page;
    const bool enabled;
    CSendLog usb;
    CSendLog serial;
};

RunResult RunChannels(CPageUnderTest& page, const ChannelSetup& usb, const ChannelSetup& serial,
                      bool lineEnds, bool withinPage = false) {
    RunResult result;
    CSendLog usbLog;
    CSendLog serialLog;
    CArrivalTaps arrivals(page, withinPage);
    CStreamProbe usbProbe(page.UsbView(), lineEnds, &usbLog, arrivals.Usb());
    CStreamProbe serialProbe(page.Rs232View(), lineEnds, &serialLog, arrivals.Serial());
    const int droppedBefore = page.Kit().DroppedInputReports();
    CSimKit& kit = page.Kit();
    CPty& pty = page.Pty();

    const double cpu0 = ProcessCpuSeconds();
    const double gui0 = ThreadCpuSeconds();
    const Clock::time_point start = Clock::now();
    std::unique_ptr<CFeeder> usbFeeder;
    std::unique_ptr<CFeeder> serialFeeder;
    if (usb.active) {
        usbFeeder = std::make_unique<CFeeder>(
            [&kit](const uint8_t* bytes, size_t count) {
                kit.SendUsb(std::vector<uint8_t>(bytes, bytes + count));
                return true;
            },
            usb.bytes, usb.rate, USB_CHUNK, lineEnds, &usbLog);
    }
    if (serial.active) {
        serialFeeder = std::make_unique<CFeeder>(
            [&pty](const uint8_t* bytes, size_t count) { return pty.Write(bytes, count); },
            serial.bytes, serial.rate, SERIAL_CHUNK, lineEnds, &serialLog);
    }
    // Long enough for the slowest expected run; a stalled path ends it as lost bytes.
    const double expected = std::max(usb.rate > 0 ? usb.bytes / usb.rate : 0.0,
                                     serial.rate > 0 ? serial.bytes / serial.rate : 0.0);
    const int timeoutMs = static_cast<int>(expected * 1000) + 120000;
    WaitFor(
        [&] {
            return (!usb.active || usbProbe.Reached() >= usb.bytes) &&
                   (!serial.active || serialProbe.Reached() >= serial.bytes);
        },
        timeoutMs);
    result.wallSeconds = SecondsSince(start);
    result.processCpu = ProcessCpuSeconds() - cpu0;
    result.guiCpu = ThreadCpuSeconds() - gui0;
    usbFeeder.reset();
    serialFeeder.reset();
    result.droppedReports = page.Kit().DroppedInputReports() - droppedBefore;

    const auto fill = [](ChannelResult& out, const ChannelSetup& setup, CStreamProbe& probe,
                         CSendLog& log) {
        out.bytes = setup.bytes;
        out.seconds = std::chrono::duration<double>(probe.LastInsert() - log.FirstSend()).count();
        out.sendSeconds = std::chrono::duration<double>(log.LastSend() - log.FirstSend()).count();
        out.shown = probe.Shown();
        out.passedOver = probe.PassedOver();
        out.lost =
            probe.Lost() + (setup.bytes > probe.Reached() ? setup.bytes - probe.Reached() : 0);
        out.latenciesMs = std::move(probe.LatenciesMs());
        out.withinPageMs = std::move(probe.WithinPageMs());
    };
    if (usb.active) {
        fill(result.usb, usb, usbProbe, usbLog);
    }
    if (serial.active) {
        fill(result.serial, serial, serialProbe, serialLog);
    }
    return result;
}

// Bytes per second through the path: from the first byte sent to the last one in the
// document. A paced run offers a fixed rate, so it shows whether the path kept that pace.
double ChannelRate(const ChannelResult& channel) {
    return channel.seconds > 0 ? channel.bytes / channel.seconds : 0;
}

// At most this far behind when the last byte was sent, or the path did not keep pace.
constexpr double KEPT_PACE_S = 0.1;

bool ChannelGood(const ChannelResult& channel, double lineRate, bool paced) {
    return channel.lost == 0 && ChannelRate(channel) >= 10 * lineRate &&
           (!paced ||
            (channel.passedOver == 0 && channel.seconds - channel.sendSeconds < KEPT_PACE_S));
}

void PrintChannel(const std::string& name, const ChannelResult& channel, double lineRate,
                  bool paced) {
    const double rate = ChannelRate(channel);
    char limit[64];
    std::snprintf(limit, sizeof limit, "line rate %.0f B/s", lineRate);
    PrintFigure(name + " bytes/s into the view", rate, "B/s", limit, true);
    PrintFigure(name + " ratio to the line rate", rate / lineRate, "x", "goal >= 10",
                rate / lineRate >= 10);
    PrintFigure(name + " lost bytes", static_cast<double>(channel.lost), "bytes", "goal 0",
                channel.lost == 0);
    if (paced) {
        PrintFigure(name + " bytes passed over by the view", channel.passedOver, "bytes",
                    "goal 0 when paced", channel.passedOver == 0);
        PrintFigure(name + " last byte shown after it was sent",
                    1000 * (channel.seconds - channel.sendSeconds), "ms", "kept pace: < 100 ms",
                    channel.seconds - channel.sendSeconds < KEPT_PACE_S);
    }
    std::printf(
        "  %s: %llu bytes in %.3f s; shown %llu, passed over as older than the "
        "scroll-back %llu\n",
        name.c_str(), static_cast<unsigned long long>(channel.bytes), channel.seconds,
        static_cast<unsigned long long>(channel.shown),
        static_cast<unsigned long long>(channel.passedOver));
}

void PrintCpu(const RunResult& run) {
    std::printf("  CPU over %.2f s: process %.1f %% of one core, GUI thread %.1f %%\n",
                run.wallSeconds, 100 * run.processCpu / run.wallSeconds,
                100 * run.guiCpu / run.wallSeconds);
    PrintFigure("input reports dropped by the hidraw queue", run.droppedReports, "reports",
                "goal 0", run.droppedReports == 0);
}

void PrintLatency(const std::string& name, const std::vector<double>& ms) {
    PrintFigure(name + " latency p50", Percentile(ms, 0.5), "ms", "", true);
    PrintFigure(name + " latency p99", Percentile(ms, 0.99), "ms", "goal < 10 ms",
                Percentile(ms, 0.99) < 10);
    PrintFigure(name + " latency max", Percentile(ms, 1.0), "ms", "", true);
    std::printf("  %s: %zu samples\n", name.c_str(), ms.size());
}

Options Parse(int argc, char** argv) {
    Options options;
    if (argc > 1) {
        options.mode = argv[1];
    }
    for (int i = 2; i < argc; ++i) {
        const std::string arg = argv[i];
        const auto value = [&] { return i + 1 < argc ? std::atof(argv[++i]) : 0.0; };
        if (arg == "--tools") {
            options.tools = true;
        } else if (arg == "--no-line-ends") {
            options.lineEnds = false;
        } else if (arg == "--factor") {
            options.factor = value();
        } else if (arg == "--seconds") {
            options.seconds = value();
        } else if (arg == "--bytes") {
            options.bytes = static_cast<uint64_t>(value());
        } else if (arg == "--megabytes") {
            options.megabytes = value();
        } else if (arg == "--sending") {
            options.sending = true;
        } else if (arg == "--load" || arg == "--load-same-session") {
            options.loadInOwnSessions = arg == "--load";
            options.load = static_cast<int>(value());
        } else {
            std::fprintf(stderr, "channel_bench: unknown option %s\n", arg.c_str());
            std::exit(2);
        }
    }
    return options;
}

}  // namespace

// The received bytes a log holds: its text less the time that starts each line.
uint64_t LoggedPayload(const std::string& path, bool& noted) {
    std::ifstream file(path, std::ios::binary);
    const std::string text((std::istreambuf_iterator<char>(file)),
                           std::istreambuf_iterator<char>());
    constexpr size_t STAMP = sizeof "yyyy-MM-dd hh:mm:ss.zzz  " - 1;
    noted = text.find(" not logged") != std::string::npos;
    uint64_t payload = 0;
    for (size_t start = 0; start < text.size();) {
        size_t end = text.find('\n', start);
        end = end == std::string::npos ? text.size() : end + 1;
        payload += end - start > STAMP ? end - start - STAMP : 0;
        start = end;
    }
    return payload;
}

int main(int argc, char** argv) {
    const Options options = Parse(argc, argv);
    if (options.mode != "usb" && options.mode != "serial" && options.mode != "both" &&
        options.mode != "latency" && options.mode != "memory") {
        std::fprintf(stderr,
                     "usage: channel_bench usb|serial|both|latency|memory [--no-line-ends] "
                     "[--bytes N] [--factor F] [--seconds S] [--megabytes M] [--load N] "
                     "[--load-same-session N] [--sending] [--tools]\n");
        return 2;
    }
    UseOffscreenByDefault();
    const std::string runDir = MakeRunDirectory();
    if (chdir(runDir.c_str()) != 0) {
        return 1;
    }
    int qtArgc = 1;
    QApplication application(qtArgc, argv);

    CPageUnderTest page;
    if (!page.Start()) {
        std::fprintf(stderr, "channel_bench: the page did not connect both channels\n");
        return 1;
    }
    const char* lines = options.lineEnds ? "with line ends" : "no line ends";
    // With the views' tools on: hex rows with times, and a log of each channel.
    std::unique_ptr<CTrafficLog> logs[2];
    TrafficView* views[2] = {&page.UsbView(), &page.Rs232View()};
    const std::string logPaths[2] = {runDir + "/usb.log", runDir + "/rs232.log"};
    if (options.tools) {
        for (int i = 0; i < 2; ++i) {
            views[i]->SetHexMode(true);
            views[i]->SetTimestampMode(TrafficView::TimestampMode::Line);
            logs[i] = std::make_unique<CTrafficLog>(nullptr, nullptr);
            QString failure;
            if (!logs[i]->Start(QString::fromStdString(logPaths[i]), failure)) {
                std::fprintf(stderr, "channel_bench: %s\n", failure.toLocal8Bit().constData());
                return 1;
            }
            views[i]->SetTap(
                [log = logs[i].get()](const uint8_t* bytes, size_t count, qint64 arrivalMs) {
                    log->Append(bytes, count, arrivalMs);
                });
        }
        std::printf("== views in hex with a time at each line, both channels logged to files\n");
    }
    uint64_t sentBytes[2] = {0, 0};
    bool pass = true;

    if (options.mode == "usb" || options.mode == "serial" || options.mode == "both") {
        const bool paced = options.factor > 0;
        const auto setup = [&](bool active, double lineRate) {
            ChannelSetup channel{active, options.bytes > 0 ? options.bytes : 1u << 20, 0};
            if (paced) {
                channel.rate = lineRate * options.factor;
                if (options.bytes == 0) {
                    channel.bytes = static_cast<uint64_t>(channel.rate * options.seconds);
                }
            }
            return channel;
        };
        const ChannelSetup usb = setup(options.mode != "serial", USB_LINE_RATE);
        const ChannelSetup serial = setup(options.mode != "usb", RS232_LINE_RATE);
        char offered[64] = "as fast as the path takes them";
        if (paced) {
            std::snprintf(offered, sizeof offered, "paced at %.1f x the line rate", options.factor);
        }
        std::printf("== %s channel%s end to end, %s, %s\n", options.mode.c_str(),
                    options.mode == "both" ? "s" : "", lines, offered);
        const RunResult run = RunChannels(page, usb, serial, options.lineEnds);
        sentBytes[0] = usb.active ? usb.bytes : 0;
        sentBytes[1] = serial.active ? serial.bytes : 0;
        if (usb.active) {
            PrintChannel("USB", run.usb, USB_LINE_RATE, paced);
            pass = pass && ChannelGood(run.usb, USB_LINE_RATE, paced);
        }
        if (serial.active) {
            PrintChannel("RS232", run.serial, RS232_LINE_RATE, paced);
            pass = pass && ChannelGood(run.serial, RS232_LINE_RATE, paced);
        }
        if (paced && usb.active) {
            PrintLatency("USB", run.usb.latenciesMs);
        }
        if (paced && serial.active) {
            PrintLatency("RS232", run.serial.latenciesMs);
        }
        PrintCpu(run);
        pass = pass && run.droppedReports == 0;
    } else if (options.mode == "latency") {
        const double factor = options.factor > 0 ? options.factor : 1;
        ChannelSetup usb{true, static_cast<uint64_t>(USB_LINE_RATE * factor * options.seconds),
                         USB_LINE_RATE * factor};
        ChannelSetup serial{true, static_cast<uint64_t>(RS232_LINE_RATE * factor * options.seconds),
                            RS232_LINE_RATE * factor};
        std::printf("== latency, both channels at %.1f x their line rates for %.0f s, %s", factor,
                    options.seconds, lines);
        if (options.load > 0) {
            std::printf(
                ", beside %d busy processes %s", options.load,
                options.loadInOwnSessions ? "each in a session of its own" : "in this session");
        }
        if (options.sending) {
            std::printf(", while the page sends %d bytes on RS232 every %d ms", SEND_BUFFER_SIZE,
                        CSendClicker::SEND_PERIOD_MS);
        }
        std::printf("\n");
        const CBusyLoad load(options.load, options.loadInOwnSessions);
        std::unique_ptr<CSendClicker> clicker;
        if (options.sending) {
            clicker = std::make_unique<CSendClicker>(page.Pty());
        }
        const WorkerWaits workersBefore = KernelWorkerWaits();
        const RunResult run = RunChannels(page, usb, serial, options.lineEnds, !options.tools);
        const WorkerWaits workersAfter = KernelWorkerWaits();
        bool sendsArrived = true;
        if (clicker != nullptr) {
            clicker->Finish();
            PrintFigure("RS232 Send's hold on the GUI thread p99",
                        Percentile(clicker->HeldMs(), 0.99), "ms", "", true);
            const double missing =
                static_cast<double>(clicker->Expected()) - static_cast<double>(clicker->Arrived());
            sendsArrived = missing == 0;
            PrintFigure("RS232 bytes sent by the page missing at the board", missing, "bytes",
                        "goal 0", sendsArrived);
            std::printf("  RS232 Send: %zu clicks\n", clicker->HeldMs().size());
        }
        sentBytes[0] = usb.active ? usb.bytes : 0;
        sentBytes[1] = serial.active ? serial.bytes : 0;
        PrintLatency("USB", run.usb.latenciesMs);
        PrintLatency("RS232", run.serial.latenciesMs);
        if (!options.tools) {
            PrintLatency("USB within the page", run.usb.withinPageMs);
            PrintLatency("RS232 within the page", run.serial.withinPageMs);
        }
        PrintWorkerWaits(workersBefore, workersAfter);
        PrintFigure("USB lost bytes", run.usb.lost, "bytes", "goal 0", run.usb.lost == 0);
        PrintFigure("RS232 lost bytes", run.serial.lost, "bytes", "goal 0", run.serial.lost == 0);
        std::printf("  passed over: USB %llu, RS232 %llu\n",
                    static_cast<unsigned long long>(run.usb.passedOver),
                    static_cast<unsigned long long>(run.serial.passedOver));
        PrintCpu(run);
        pass = Percentile(run.usb.latenciesMs, 0.99) < 10 &&
               Percentile(run.serial.latenciesMs, 0.99) < 10 && run.usb.lost == 0 &&
               run.serial.lost == 0 && run.droppedReports == 0 && sendsArrived;
    } else {
        // Fill both views first, so the baseline already holds a full scroll-back each.
        RunChannels(page, {true, 1u << 20, 0}, {true, 1u << 20, 0}, true);
        const long baseline = RssKb();
        const auto half = static_cast<uint64_t>(options.megabytes * (1 << 20) / 2);
        std::printf("== memory: %.0f MB per view (half with line ends, half without)\n",
                    options.megabytes);
        const RunResult withLines = RunChannels(page, {true, half, 0}, {true, half, 0}, true);
        const RunResult noLines = RunChannels(page, {true, half, 0}, {true, half, 0}, false);
        const long peak = PeakRssKb();
        const double growthMb = (peak - baseline) / 1024.0;
        PrintFigure("RSS after start-up", baseline / 1024.0, "MB", "", true);
        PrintFigure("peak RSS after the traffic", peak / 1024.0, "MB", "", true);
        PrintFigure("RSS growth over the traffic", growthMb, "MB", "goal < 20 MB", growthMb < 20);
        const uint64_t lost =
            withLines.usb.lost + withLines.serial.lost + noLines.usb.lost + noLines.serial.lost;
        PrintFigure("lost bytes", static_cast<double>(lost), "bytes", "goal 0", lost == 0);
        pass = growthMb < 20 && lost == 0;
    }
    if (options.tools) {
        const char* names[2] = {"USB", "RS232"};
        for (int i = 0; i < 2; ++i) {
            views[i]->SetTap(nullptr);
            logs[i]->Stop();
            bool noted = false;
            const uint64_t logged = LoggedPayload(logPaths[i], noted);
            const double missing = static_cast<double>(sentBytes[i]) - static_cast<double>(logged);
            PrintFigure(std::string(names[i]) + " bytes missing from the log", missing, "bytes",
                        "goal 0", missing == 0 && !noted);
            pass = pass && missing == 0 && !noted;
        }
    }
    if (page.Boxes() != 0) {
        std::printf("  %d message boxes were shown\n", page.Boxes());
        pass = false;
    }
    page.Close();
    std::filesystem::remove_all(runDir);
    std::printf("channel_bench %s: %s\n", options.mode.c_str(), pass ? "PASS" : "FAIL");
    return pass ? 0 : 1;
}
