// Command-line options of palvex and palvex-sim.
#include "app/command_line.h"

#include <cstdio>
#include <cstring>

#include "app/main_dialog.h"
#include "bench/test_page.h"

namespace {

const char* const USAGE =
    "usage: %s [--hex] [--timestamps=line|chunk] [--help]\n"
    "  --hex                   show received bytes as hex (offset, bytes, characters)\n"
    "  --timestamps=line       start each line with the time its first byte arrived\n"
    "  --timestamps=chunk      start each received chunk on a line with its arrival time\n"
    "Both apply to the USB and RS232 views; their context menus change them while running.\n";

}  // namespace

int ParseCommandLine(int argc, char** argv, ViewOptions& options) {
    const char* program = argc > 0 ? argv[0] : "palvex";
    for (int i = 1; i < argc; ++i) {
        const char* arg = argv[i];
        if (std::strcmp(arg, "--help") == 0 || std::strcmp(arg, "-h") == 0) {
            std::printf(USAGE, program);
            return 0;
        }
        if (std::strcmp(arg, "--hex") == 0) {
            options.hex = true;
        } else if (std::strcmp(arg, "--timestamps=line") == 0) {
            options.timestamps = TrafficView::TimestampMode::Line;
        } else if (std::strcmp(arg, "--timestamps=chunk") == 0) {
            options.timestamps = TrafficView::TimestampMode::Chunk;
        } else if (std::strcmp(arg, "--timestamps=off") == 0) {
            options.timestamps = TrafficView::TimestampMode::Off;
        } else {
            std::fprintf(stderr, "%s: unknown option %s\n", program, arg);
            std::fprintf(stderr, USAGE, program);
            return 2;
        }
    }
    return -1;
}

void ApplyViewOptions(const ViewOptions& options) {
    if (g_testPage == nullptr) {
        return;
    }
    for (TrafficView* view : {&g_testPage->UsbView(), &g_testPage->Rs232View()}) {
        view->SetHexMode(options.hex);
        view->SetTimestampMode(options.timestamps);
    }
}
