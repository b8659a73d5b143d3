// The programs' command lines: --version as GNU programs answer it, and palvex's choice of a
// Kit and a port.
#include <gtest/gtest.h>

#include <QProcess>

#include "app/command_line.h"

namespace {

TEST(CommandLine, EveryInstalledProgramAnswersVersionAndPalvexTakesItsDeviceChoice) {
    for (const char* program :
         {"palvex", "palvex-sim", "palvex-check", "palvex-copy-firmware", "palvex-hidraw-writer"}) {
        QProcess process;
        process.start(QStringLiteral(PALVEX_PROGRAM_DIR "/") + program, {"--version"});
        ASSERT_TRUE(process.waitForFinished(10000)) << program;
        EXPECT_EQ(process.exitCode(), 0) << program;
        EXPECT_EQ(process.readAllStandardOutput().toStdString(),
                  std::string(program) + " " PALVEX_VERSION "\n");
    }

    const auto parse = [](std::vector<const char*> arguments, DeviceChoice& choice) {
        arguments.insert(arguments.begin(), "palvex");
        ViewOptions options;
        return ParseCommandLine(static_cast<int>(arguments.size()),
                                const_cast<char**>(arguments.data()), "palvex", options, choice);
    };
    DeviceChoice choice;
    EXPECT_EQ(parse({"--port", "/dev/ttyUSB3", "--hid=/dev/hidraw2"}, choice), -1);
    EXPECT_EQ(choice.port, "/dev/ttyUSB3");
    EXPECT_EQ(choice.hidPath, "/dev/hidraw2");
    DeviceChoice none;
    EXPECT_EQ(parse({}, none), -1);
    EXPECT_TRUE(none.port.empty() && none.hidPath.empty());
    EXPECT_EQ(parse({"--port="}, choice), 2);
    EXPECT_EQ(parse({"--hid"}, choice), 2);
}

}  // namespace
