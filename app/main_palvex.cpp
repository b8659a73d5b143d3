// palvex: the program on the system's own serial ports and hidraw devices.
#include <QApplication>

#include "app/board_app.h"
#include "platform/backends.h"
#include "platform/platform.h"
#include "platform/qt_message_box.h"

int main(int argc, char** argv) {
    // The program reads no command line: Qt sees the program name only.
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
    return app.Run();
}
