// palvex: the program on the system's own serial ports and hidraw devices.
#include <QApplication>

#include "app/board_app.h"
#include "app/command_line.h"
#include "platform/backends.h"
#include "platform/platform.h"
#include "platform/qt_message_box.h"

int main(int argc, char** argv) {
    // The program reads its own few options; Qt sees the program name only.
    ViewOptions viewOptions;
    if (const int exitCode = ParseCommandLine(argc, argv, QStringLiteral("palvex"), viewOptions);
        exitCode >= 0) {
        return exitCode;
    }
    int qtArgc = argc > 0 ? 1 : 0;
    QApplication application(qtArgc, argv);

    CQtMessageBoxSink boxes;
    const auto serialPorts = platform::CreateSystemSerialPorts();
    const auto hid = platform::CreateSystemHid();
    platform::Platform platform;
    platform.serialPorts = serialPorts.get();
    platform.hid = hid.get();
    platform.messageBoxes = &boxes;

    CBoardApp app(platform, &boxes);
    app.SetViewOptions(viewOptions);
    return app.Run();
}
