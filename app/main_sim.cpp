// palvex-sim: the program on the simulated Kit, with a window to plug, unplug and drive it.
// Options set the Kit's start states, so scripts can start the page in any of them.
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QCommandLineParser>
#include <QPushButton>
#include <QSpinBox>
#include <QTimer>
#include <cstdio>
#include <cstdlib>

#include "app/board_app.h"
#include "app/command_line.h"
#include "app/sim_window.h"
#include "platform/qt_message_box.h"
#include "sim/sim_kit.h"
#include "sim/sim_platform.h"

namespace {

const QStringList REPLIES = {QStringLiteral("full"), QStringLiteral("short"),
                             QStringLiteral("long"), QStringLiteral("none")};

// A stream asked for on the command line starts after the page's first tick.
constexpr int STREAM_DELAY_MS = 1500;

bool IsComName(const QString& name) {
    return name == "COM1" || name == "COM2" || name == "COM3" || name == "COM4";
}

// A stream the board starts once the windows are up, from the command line.
struct StreamOption {
    int channel = -1;  // the stream box's index: 0 USB, 1 serial; -1 none
    int count = 0;
    int rate = 0;
    bool lineEnds = true;
};

// Sets the kit from the command line; false, with the reason on stderr, for a bad one.
bool ApplyOptions(const QStringList& arguments, CSimKit& kit, StreamOption& stream,
                  ViewOptions& viewOptions) {
    QCommandLineParser parser;
    parser.setApplicationDescription(
        QStringLiteral("Palvex on a simulated Kit. By default the Kit is plugged in on both "
                       "channels and COM1 is its serial line."));
    parser.addHelpOption();
    const QCommandLineOption noUsb(QStringLiteral("no-usb"),
                                   QStringLiteral("Start with the Kit unplugged."));
    const QCommandLineOption noSerial(QStringLiteral("no-serial"),
                                      QStringLiteral("Start with the serial line disconnected."));
    const QCommandLineOption busy(
        QStringLiteral("busy"), QStringLiteral("Another program holds this COM port (repeatable)."),
        QStringLiteral("COMn"));
    const QCommandLineOption denied(QStringLiteral("no-access"),
                                    QStringLiteral("This COM port may not be opened (repeatable)."),
                                    QStringLiteral("COMn"));
    const QCommandLineOption version(QStringLiteral("firmware-version"),
                                     QStringLiteral("The firmware version the board answers."),
                                     QStringLiteral("text"));
    const QCommandLineOption reply(QStringLiteral("reply"),
                                   QStringLiteral("How it answers: full, short, long or none."),
                                   QStringLiteral("how"));
    const QCommandLineOption silent(QStringLiteral("silent"),
                                    QStringLiteral("Start with the board silent."));
    const QCommandLineOption streamOn(
        QStringLiteral("stream"),
        QStringLiteral("Once the windows are up, the board streams on usb or serial."),
        QStringLiteral("channel"));
    const QCommandLineOption count(QStringLiteral("count"),
                                   QStringLiteral("Bytes the stream sends (default 100000)."),
                                   QStringLiteral("n"), QStringLiteral("100000"));
    const QCommandLineOption rate(QStringLiteral("rate"),
                                  QStringLiteral("Bytes a second it sends (default 1920)."),
                                  QStringLiteral("n"), QStringLiteral("1920"));
    const QCommandLineOption noLineEnds(QStringLiteral("no-line-ends"),
                                        QStringLiteral("The stream's lines do not end in CR LF."));
    parser.addOptions(
        {noUsb, noSerial, busy, denied, version, reply, silent, streamOn, count, rate, noLineEnds});
    AddVersionOption(parser);
    AddViewOptions(parser);
    if (!parser.parse(arguments)) {
        std::fprintf(stderr, "palvex-sim: %s\n", qPrintable(parser.errorText()));
        return false;
    }
    if (parser.isSet(QStringLiteral("help"))) {
        std::exit(PrintHelp(parser, QStringLiteral("palvex-sim")));
    }
    if (VersionAsked(parser)) {
        std::exit(PrintVersion(QStringLiteral("palvex-sim")));
    }
    if (!parser.positionalArguments().isEmpty()) {
        std::fprintf(stderr, "palvex-sim: unexpected argument \"%s\"\n",
                     qPrintable(parser.positionalArguments().first()));
        return false;
    }
    for (const auto& [option, fault] :
         {std::pair{&busy, sim::PortFault::BUSY}, std::pair{&denied, sim::PortFault::DENIED}}) {
        for (const QString& name : parser.values(*option)) {
            if (!IsComName(name)) {
                std::fprintf(stderr, "palvex-sim: \"%s\" is not COM1 to COM4\n", qPrintable(name));
                return false;
            }
            kit.SetPortFault(name.toStdString(), fault);
        }
    }
    if (parser.isSet(reply)) {
        const qsizetype index = REPLIES.indexOf(parser.value(reply));
        if (index < 0) {
            std::fprintf(stderr, "palvex-sim: --reply takes full, short, long or none\n");
            return false;
        }
        kit.SetVersionReply(static_cast<sim::VersionReply>(index));
    }
    if (parser.isSet(version)) {
        kit.SetVersion(parser.value(version).toLatin1().toStdString());
    }
    if (parser.isSet(streamOn)) {
        stream.channel = QStringList{QStringLiteral("usb"), QStringLiteral("serial")}.indexOf(
            parser.value(streamOn));
        bool countOk = false;
        bool rateOk = false;
        stream.count = parser.value(count).toInt(&countOk);
        stream.rate = parser.value(rate).toInt(&rateOk);
        stream.lineEnds = !parser.isSet(noLineEnds);
        if (stream.channel < 0 || !countOk || !rateOk || stream.count < 1 || stream.rate < 1) {
            std::fprintf(stderr,
                         "palvex-sim: --stream takes usb or serial, --count and --rate "
                         "whole numbers above 0\n");
            return false;
        }
    }
    QString viewError;
    if (!ReadViewOptions(parser, viewOptions, viewError)) {
        std::fprintf(stderr, "palvex-sim: %s\n", qPrintable(viewError));
        return false;
    }
    kit.PlugUsb(!parser.isSet(noUsb));
    kit.ConnectSerial(!parser.isSet(noSerial));
    kit.SetSilent(parser.isSet(silent));
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    // The options come first, so --help and a bad option need no display.
    CSimKit kit;
    StreamOption stream;
    ViewOptions viewOptions;
    if (!ApplyOptions(ArgumentList(argc, argv), kit, stream, viewOptions)) {
        return 2;
    }
    // Qt sees the program name only; the options are ours.
    int qtArgc = argc > 0 ? 1 : 0;
    QApplication application(qtArgc, argv);

    CQtMessageBoxSink boxes;
    // Boxes block the main window only, so the Simulated Kit window stays usable.
    boxes.SetOwnerModal(true);
    const platform::Platform platform = SimPlatform(kit, boxes);

    // Destroyed in reverse order: the application object (its run has already deleted the
    // main window), the sim window, which stops its stream and observing the kit, the sink,
    // QApplication after every widget, and the kit last.
    CSimWindow simWindow(kit);
    CBoardApp app(platform, &boxes);
    app.SetViewOptions(viewOptions);
    simWindow.SetRestarter([&app](std::function<void()> whileStopped) {
        return app.RestartTestPage(std::move(whileStopped));
    });
    if (stream.channel >= 0) {
        // Through the window's own controls, so it shows what runs and can stop it.
        simWindow.StreamChannelBox()->setCurrentIndex(stream.channel);
        simWindow.StreamCountBox()->setValue(stream.count);
        simWindow.StreamRateBox()->setValue(stream.rate);
        simWindow.LineEndsBox()->setChecked(stream.lineEnds);
        QTimer::singleShot(STREAM_DELAY_MS, simWindow.StreamButton(), &QPushButton::click);
    }
    return app.Run(&simWindow);
}
