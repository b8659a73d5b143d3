// Palvex as peer_bench runs it beside the other serial terminals: the program built as
// `palvex` builds it, on the X display in DISPLAY, with the given pseudo-terminal as COM1 and
// the simulated Kit on USB (a real Kit is not needed to show serial traffic, and without one
// the page would open with the "not detected" notice). The "Demo and Test" tab is shown, as a
// user watching the serial line would have it.
//
//   peer_palvex --port PATH [--hex] [--timestamps=line|chunk]
//
// Prints "ready COLUMNSxROWS" once both channels are up. A line "check" on standard input
// makes it print "tail HEX boxes N mode yes|no" (the last bytes its RS232 view holds, the
// boxes it showed, whether the view shows the modes asked for) and quit.
#include <unistd.h>

#include <QApplication>
#include <QByteArray>
#include <QFontMetrics>
#include <QRegularExpression>
#include <QSocketNotifier>
#include <QTabWidget>
#include <cstdio>
#include <string>

#include "app/board_app.h"
#include "app/main_dialog.h"
#include "app/status_bar.h"
#include "bench/test_page.h"
#include "bench/traffic_view.h"
#include "benchmarks/perf_harness.h"

namespace {

constexpr int TAIL_BYTES = 200;

// Whether the view's text as shown has the marks of the modes asked for: a time of day, a
// row of hex bytes.
bool ShowsMode(TrafficView& view, bool hex, bool timestamps) {
    static const QRegularExpression stamp(R"(\d\d:\d\d:\d\d\.\d\d\d)");
    static const QRegularExpression hexRow(R"((?:\b[0-9A-Fa-f]{2} ){8})");
    const QString shown = view.ShownText().right(4000);
    return (!timestamps || shown.contains(stamp)) && (!hex || shown.contains(hexRow));
}

// The newest bytes the view holds, as received.
QByteArray Tail(TrafficView& view) {
    view.Flush();
    return view.HeldBytes().right(TAIL_BYTES);
}

}  // namespace

int main(int argc, char** argv) {
    std::string port;
    bool hex = false;
    std::string timestamps;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--port" && i + 1 < argc) {
            port = argv[++i];
        } else if (arg == "--hex") {
            hex = true;
        } else if (arg == "--timestamps=line" || arg == "--timestamps=chunk") {
            timestamps = arg.substr(arg.find('=') + 1);
        } else {
            std::fprintf(stderr, "peer_palvex: unknown option %s\n", arg.c_str());
            return 2;
        }
    }
    if (port.empty()) {
        std::fprintf(stderr, "usage: peer_palvex --port PATH [--hex] [--timestamps=line|chunk]\n");
        return 2;
    }
    const std::string runDir = perf::MakeRunDirectory();
    if (chdir(runDir.c_str()) != 0) {
        return 1;
    }
    int qtArgc = 1;
    QApplication application(qtArgc, argv);

    CSimKit kit;
    kit.PlugUsb(true);
    platform::CLinuxSerialPorts ports([&port] { return std::vector<std::string>{port}; });
    perf::CCountingSink boxes;
    platform::Platform platform;
    platform.serialPorts = &ports;
    platform.hid = &kit.Hid();
    platform.messageBoxes = &boxes;
    platform.driversDirectory = std::string(".");  // not from the literal: see perf_harness.cpp

    CBoardApp app(platform, nullptr);
    app.InitInstance();
    g_mainDialog->TabControl()->setCurrentIndex(1);
    TrafficView& view = g_testPage->Rs232View();
    view.SetHexMode(hex);
    if (!timestamps.empty()) {
        view.SetTimestampMode(timestamps == "line" ? TrafficView::TimestampMode::Line
                                                   : TrafficView::TimestampMode::Chunk);
    }
    if (!perf::WaitFor(
            [] {
                return StatusPaneText(2).rfind("Firmware Version: K", 0) == 0 &&
                       StatusPaneText(0) == "Connected";
            },
            10000)) {
        std::fprintf(stderr, "peer_palvex: the page did not connect both channels\n");
        return 1;
    }
    // Columns of the stream's own characters, which are all printable ASCII.
    QString printable;
    for (char c = '!'; c <= '~'; ++c) {
        printable += QChar(c);
    }
    const QFontMetrics metrics(view.font());
    std::printf("ready %dx%d\n",
                static_cast<int>(view.viewport()->width() * printable.size() /
                                 metrics.horizontalAdvance(printable)),
                view.viewport()->height() / metrics.lineSpacing());
    std::fflush(stdout);

    QSocketNotifier input(STDIN_FILENO, QSocketNotifier::Read);
    QObject::connect(&input, &QSocketNotifier::activated, [&] {
        char line[64] = {};
        const ssize_t got = read(STDIN_FILENO, line, sizeof line - 1);
        if (got <= 0 || std::string(line).rfind("check", 0) == 0) {
            std::printf("tail %s boxes %d mode %s\n", Tail(view).toHex().constData(), boxes.Count(),
                        ShowsMode(view, hex, !timestamps.empty()) ? "yes" : "no");
            std::fflush(stdout);
            input.setEnabled(false);
            QApplication::quit();
        }
    });
    QApplication::exec();
    app.ShutDown();
    return 0;
}
