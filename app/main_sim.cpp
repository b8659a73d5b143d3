// palvex-sim: the program on the simulated Kit, with a window to plug, unplug and drive it.
#include <QApplication>

#include "app/board_app.h"
#include "app/command_line.h"
#include "app/sim_window.h"
#include "platform/qt_message_box.h"
#include "sim/sim_kit.h"
#include "sim/sim_platform.h"

int main(int argc, char** argv) {
    // The program reads its own few options; Qt sees the program name only.
    ViewOptions viewOptions;
    if (const int exitCode = ParseCommandLine(argc, argv, viewOptions); exitCode >= 0) {
        return exitCode;
    }
    int qtArgc = argc > 0 ? 1 : 0;
    QApplication application(qtArgc, argv);

    // The board starts plugged in on both channels; COM1 is its serial line.
    CSimKit kit;
    kit.PlugUsb(true);
    kit.ConnectSerial(true);

    CQtMessageBoxSink boxes;
    const platform::Platform platform = SimPlatform(kit, boxes);

    // Destroyed in reverse order: the application object (its run has already deleted the
    // main window), the sim window, which stops observing the kit, the sink, the kit, and
    // QApplication last, after every widget.
    CSimWindow simWindow(kit);
    CBoardApp app(platform, &boxes);
    app.SetViewOptions(viewOptions);
    return app.Run(&simWindow);
}
