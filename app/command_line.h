// The options both programs take for how the traffic views start. Nothing is kept between
// runs.
#pragma once

#include <QString>
#include <string>

#include "bench/traffic_view.h"

class QCommandLineParser;

struct ViewOptions {
    bool hex = false;
    TrafficView::TimestampMode timestamps = TrafficView::TimestampMode::Off;
};

// Adds --hex and --timestamps to a program's parser.
void AddViewOptions(QCommandLineParser& parser);
// Reads them once the parser has parsed; false with the reason in `error` for a bad value.
bool ReadViewOptions(const QCommandLineParser& parser, ViewOptions& options, QString& error);

// Which Kit and which serial line the page uses when the user names them; empty: the first
// found, as always.
struct DeviceChoice {
    std::string hidPath;
    std::string port;  // a COM name or a device path
};

// Parses palvex's arguments: the view options, --hid and --port (`program` names it in the
// help). Returns -1 to go on with `options` and `choice` set, or the exit code once it has
// printed the help (0) or what was wrong (2). Needs no QApplication.
int ParseCommandLine(int argc, char** argv, const QString& program, ViewOptions& options,
                     DeviceChoice& choice);

// The arguments as Qt's parser takes them.
QStringList ArgumentList(int argc, char** argv);
// Prints the parser's help for `program` and returns 0.
int PrintHelp(const QCommandLineParser& parser, const QString& program);
// --version, as GNU programs answer it: "palvex 0.75".
void AddVersionOption(QCommandLineParser& parser);
bool VersionAsked(const QCommandLineParser& parser);
int PrintVersion(const QString& program);

// Applies the options to both traffic views of the page (the page must exist).
void ApplyViewOptions(const ViewOptions& options);
