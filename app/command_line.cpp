// Command-line options of palvex and palvex-sim.
#include "app/command_line.h"

#include <QCommandLineParser>
#include <cstdio>

#include "app/main_dialog.h"
#include "bench/test_page.h"
#include "platform/console.h"

namespace {

const QString HEX = QStringLiteral("hex");
const QString TIMESTAMPS = QStringLiteral("timestamps");
const QString HID = QStringLiteral("hid");
const QString PORT = QStringLiteral("port");
const QString VERSION = QStringLiteral("version");

}  // namespace

void AddViewOptions(QCommandLineParser& parser) {
    parser.addOption(QCommandLineOption(
        HEX, QStringLiteral("Show received bytes as hex (offset, bytes, characters).")));
    parser.addOption(QCommandLineOption(
        TIMESTAMPS,
        QStringLiteral("Start each line (line) or each received chunk (chunk) with the time its "
                       "first byte arrived; off by default. The views' context menus change "
                       "both options while the program runs."),
        QStringLiteral("line|chunk|off")));
}

bool ReadViewOptions(const QCommandLineParser& parser, ViewOptions& options, QString& error) {
    options.hex = parser.isSet(HEX);
    if (!parser.isSet(TIMESTAMPS)) {
        return true;
    }
    const QString at = parser.value(TIMESTAMPS);
    if (at == QLatin1String("line")) {
        options.timestamps = TrafficView::TimestampMode::Line;
    } else if (at == QLatin1String("chunk")) {
        options.timestamps = TrafficView::TimestampMode::Chunk;
    } else if (at == QLatin1String("off")) {
        options.timestamps = TrafficView::TimestampMode::Off;
    } else {
        error = QStringLiteral("--timestamps takes line, chunk or off, not \"%1\"").arg(at);
        return false;
    }
    return true;
}

QStringList ArgumentList(int argc, char** argv) {
    QStringList arguments;
    for (int i = 0; i < argc; ++i) {
        arguments << QString::fromLocal8Bit(argv[i]);
    }
    return arguments;
}

void AddVersionOption(QCommandLineParser& parser) {
    parser.addOption(
        QCommandLineOption(VERSION, QStringLiteral("Show the program's name and version.")));
}

bool VersionAsked(const QCommandLineParser& parser) {
    return parser.isSet(VERSION);
}

int PrintVersion(const QString& program) {
    platform::UseStartingConsole();
    std::printf("%s %s\n", qPrintable(program), PALVEX_VERSION);
    return 0;
}

int PrintHelp(const QCommandLineParser& parser, const QString& program) {
    // Without a QApplication the parser cannot name the program itself.
    QString help = parser.helpText();
    help.replace(QStringLiteral("<executable_name>"), program);
    platform::UseStartingConsole();
    std::printf("%s", qPrintable(help));
    return 0;
}

int ParseCommandLine(int argc, char** argv, const QString& program, ViewOptions& options,
                     DeviceChoice& choice) {
    QCommandLineParser parser;
    parser.addHelpOption();
    AddVersionOption(parser);
    AddViewOptions(parser);
    parser.addOption(QCommandLineOption(
        HID, QStringLiteral("Use the Kit at this HID interface instead of the first found."),
        QStringLiteral("path")));
    parser.addOption(QCommandLineOption(
        PORT,
        QStringLiteral("Use this serial port (a COM name or a device path) for the board's line "
                       "instead of the first free one of COM1 to COM4."),
        QStringLiteral("name|path")));
    QString error;
    if (!parser.parse(ArgumentList(argc, argv))) {
        error = parser.errorText();
    } else if (parser.isSet(QStringLiteral("help"))) {
        return PrintHelp(parser, program);
    } else if (parser.isSet(VERSION)) {
        return PrintVersion(program);
    } else if (!parser.positionalArguments().isEmpty()) {
        error = QStringLiteral("unexpected argument \"%1\"").arg(parser.positionalArguments()[0]);
    } else if (parser.isSet(HID) && parser.value(HID).isEmpty()) {
        error = QStringLiteral("--hid needs a path");
    } else if (parser.isSet(PORT) && parser.value(PORT).isEmpty()) {
        error = QStringLiteral("--port needs a name or a path");
    } else if (ReadViewOptions(parser, options, error)) {
        choice.hidPath = parser.value(HID).toStdString();
        choice.port = parser.value(PORT).toStdString();
        return -1;
    }
    platform::UseStartingConsole();
    std::fprintf(stderr, "%s: %s\n", qPrintable(program), qPrintable(error));
    return 2;
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
