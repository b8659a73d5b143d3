// palvex: the program on the system's own serial ports and hidraw devices.
#include <QApplication>

#include "app/board_app.h"
#include "app/command_line.h"
#include "hid/chosen_hid.h"
#include "platform/backends.h"
#include "platform/platform.h"
#include "platform/qt_message_box.h"

int main(int argc, char** argv) {
    // The program reads its own few options; Qt sees the program name only.
    ViewOptions viewOptions;
    DeviceChoice choice;
    if (const int exitCode =
            ParseCommandLine(argc, argv, QStringLiteral("palvex"), viewOptions, choice);
        exitCode >= 0) {
        return exitCode;
    }
    int qtArgc = argc > 0 ? 1 : 0;
    QApplication application(qtArgc, argv);

    CQtMessageBoxSink boxes;
    const auto serialPorts = platform::CreateSystemSerialPorts();
    const auto systemHid = platform::CreateSystemHid();
    CChosenHid hid(*systemHid, choice.hidPath);
    platform::Platform platform;
    platform.serialPorts = serialPorts.get();
    platform.hid = &hid;
    if (!choice.port.empty()) {
        platform.boardPorts = {choice.port};
    }
    platform.messageBoxes = &boxes;

    CBoardApp app(platform, &boxes);
    app.SetViewOptions(viewOptions);
    return app.Run();
}
