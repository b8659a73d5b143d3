// The board checks against the simulated Kit: each step's pass, and the fault each step is
// there to catch, with the exit code a script sees.
#include <gtest/gtest.h>

#include <QXmlStreamReader>
#include <algorithm>
#include <atomic>
#include <chrono>
#include <nlohmann/json.hpp>

#include "check/check_report.h"
#include "check/kit_check.h"
#include "sim/sim_kit.h"
#include "sim/sim_platform.h"
#include "tests/bench/bench_fixture.h"

namespace {

class KitCheckTest : public ::testing::Test {
  protected:
    void SetUp() override {
        kit.PlugUsb(true);
        kit.ConnectSerial(true);
        settings.timeoutMs = 500;
    }
    // A check shows no box: each step takes the links' text as its reason.
    void TearDown() override { EXPECT_EQ(boxes.Entries(), std::vector<std::string>{}); }

    CheckRun Run() { return CKitCheck(platform, interrupted).Run(settings); }

    static const CheckStep& Step(const CheckRun& run, const std::string& name) {
        for (const CheckStep& step : run.steps) {
            if (step.name == name) {
                return step;
            }
        }
        static const CheckStep none("(missing)");
        ADD_FAILURE() << "no step " << name;
        return none;
    }

    static std::string Verdicts(const CheckRun& run) {
        std::string text;
        for (const CheckStep& step : run.steps) {
            text += step.name + (step.skipped ? ":skip " : step.passed ? ":pass " : ":FAIL ");
        }
        return text;
    }

    CSimKit kit;
    CRecordingBoxes boxes;
    platform::Platform platform = SimPlatform(kit, boxes);
    std::atomic<int> interrupted{0};
    CheckSettings settings;
};

TEST_F(KitCheckTest, AHealthyKitPassesEveryStepAndEachBoardFaultFailsItsOwn) {
    settings.echoUsb = settings.echoSerial = true;
    settings.echoCount = 600;
    CheckRun run = Run();
    EXPECT_EQ(Verdicts(run),
              "find:pass version:pass led:pass serial:pass echo-usb:pass echo-serial:pass "
              "close:pass ");
    EXPECT_EQ(run.exit, CHECK_PASSED);
    EXPECT_EQ(run.firmwareVersion, "K1.07");
    EXPECT_EQ(run.portName, "COM1");
    EXPECT_EQ(kit.CloseCommands(), 1);
    EXPECT_FALSE(kit.LedFlashing());
    EXPECT_GT(Step(run, "echo-serial").figures.at("bytesPerSecond"), 0);
    EXPECT_EQ(Step(run, "echo-serial").figures.at("lineBytesPerSecond"), 1920);
    EXPECT_EQ(kit.OpenHidHandles(), 0);

    settings.echoUsb = settings.echoSerial = false;
    kit.SetVersionReply(sim::VersionReply::SHORT);
    run = Run();
    EXPECT_EQ(Step(run, "version").message, "the board answered 3 of 5 version bytes");
    EXPECT_EQ(run.exit, CHECK_FAILED);

    kit.SetVersionReply(sim::VersionReply::FULL);
    settings.expectedVersion = "K2.00";
    run = Run();
    EXPECT_EQ(Step(run, "version").message, "firmware K1.07, expected K2.00");
    settings.expectedVersion = "K1.07";
    EXPECT_EQ(Run().exit, CHECK_PASSED);

    // A silent board: no version, no answer to the close command; the run still ends soon.
    kit.SetSilent(true);
    auto start = std::chrono::steady_clock::now();
    run = Run();
    EXPECT_EQ(Verdicts(run), "find:pass version:FAIL led:pass serial:pass close:FAIL ");
    EXPECT_EQ(Step(run, "version").message,
              "the board did not answer the version request within 500 ms");
    EXPECT_EQ(Step(run, "close").message,
              "the board neither answered the close command nor left the bus");
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
    kit.SetSilent(false);

    // A board that stopped reading its OUT endpoint: the writes' deadline bounds every step.
    kit.SetOutStalled(true);
    start = std::chrono::steady_clock::now();
    run = Run();
    EXPECT_FALSE(Step(run, "version").passed);
    EXPECT_FALSE(Step(run, "close").passed);
    EXPECT_EQ(run.exit, CHECK_FAILED);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(6));
    kit.SetOutStalled(false);

    // A byte lost on the serial line: the echo fails at its offset.
    CMappedSerialPorts lossy(*platform.serialPorts, {});
    lossy.dropReadAt = 300;
    platform.serialPorts = &lossy;
    settings.echoSerial = true;
    settings.echoCount = 400;
    run = Run();
    const std::string& why = Step(run, "echo-serial").message;
    EXPECT_EQ(why.rfind("byte 300 came back as ", 0), 0u) << why;
}

TEST_F(KitCheckTest, AMissingKitOrPortExitsWithTwoAndSaysWhy) {
    kit.PlugUsb(false);
    CheckRun run = Run();
    EXPECT_EQ(Verdicts(run), "find:FAIL version:skip led:skip serial:pass close:skip ");
    EXPECT_EQ(Step(run, "find").message, "no Kit (USB vendor D804, product 0032) is attached");
    EXPECT_EQ(run.exit, CHECK_NO_DEVICE);

    kit.PlugUsb(true);
    kit.SetUsbAccessDenied(true);
    EXPECT_NE(Step(Run(), "find").message.find("cannot be used: Permission denied"),
              std::string::npos);
    kit.SetUsbAccessDenied(false);

    settings.hidPath = "/dev/hidraw9";
    EXPECT_EQ(Step(Run(), "find").message, "no Kit at /dev/hidraw9");
    settings.hidPath = "/SIM/HIDRAW2";  // the Kit's, spelt as Windows may
    EXPECT_EQ(Run().kitPath, "/sim/hidraw2");
    settings.hidPath.clear();

    kit.SetPortFault("COM1", sim::PortFault::BUSY);
    run = Run();
    EXPECT_EQ(Verdicts(run), "find:pass version:pass led:pass serial:FAIL close:pass ");
    const std::string& why = Step(run, "serial").message;
    EXPECT_EQ(why.rfind("no free serial port (COM1: ", 0), 0u) << why;
    EXPECT_NE(why.find("; COM4: "), std::string::npos) << why;
    EXPECT_EQ(run.exit, CHECK_NO_DEVICE);
    kit.SetPortFault("COM1", sim::PortFault::NONE);

    settings.portName = "COM3";
    run = Run();
    EXPECT_EQ(Step(run, "serial").message.rfind("no free serial port (COM3: ", 0), 0u);
    settings.portName = "COM1";
    EXPECT_EQ(Run().portName, "COM1");
}

TEST_F(KitCheckTest, CtrlCInTheMiddleOfAnEchoEndsItAndStillSendsTheCloseCommand) {
    settings.echoUsb = settings.echoSerial = true;
    settings.echoCount = 1000000;  // minutes of echo, were it not cut short
    std::atomic<int64_t> pressedAt{0};
    // Pressed as soon as the board has taken echo data.
    kit.SetObserver([&] {
        if (pressedAt.load() == 0 && !kit.UsbDataTail(1).empty()) {
            pressedAt.store(std::chrono::steady_clock::now().time_since_epoch().count());
            interrupted.store(1);
        }
    });
    const CheckRun run = Run();
    const auto ended = std::chrono::steady_clock::now().time_since_epoch().count();
    kit.SetObserver({});
    EXPECT_EQ(Verdicts(run),
              "find:pass version:pass led:pass serial:pass echo-usb:FAIL echo-serial:skip "
              "close:pass ");
    EXPECT_EQ(Step(run, "echo-usb").message, "interrupted");
    EXPECT_EQ(run.exit, CHECK_INTERRUPTED);
    EXPECT_EQ(kit.CloseCommands(), 1);
    // The echo stops within one wait; then only the close sequence, its pause and the answer.
    EXPECT_LT(std::chrono::steady_clock::duration(ended - pressedAt.load()),
              std::chrono::milliseconds(2000));
}

// Whatever the board answers reaches no terminal raw and breaks no report: its bytes read as
// \xNN in the lines, in the JSON (parsed strictly) and in the JUnit file alike.
TEST_F(KitCheckTest, TheBoardsBytesShowEscapedInTheLinesTheJsonAndTheJUnit) {
    settings.expectedVersion = "K1.07";  // so the JUnit file carries the reply as a failure
    // ESC [ 8 m BEL hides every later line; K 0xFF CSI 1 m is not UTF-8 (\x31 is the 1).
    const std::pair<std::string, std::string> replies[] = {{"\x1B[8m\x07", "\\x1B[8m\\x07"},
                                                           {"K\xFF\x9B\x31m", "K\\xFF\\x9B1m"}};
    for (const auto& [answer, shown] : replies) {
        kit.SetVersion(answer);
        const CheckRun run = Run();
        const std::string why = "firmware " + shown + ", expected K1.07";
        std::string lines = SummaryLine(run) + "\n";
        for (const CheckStep& step : run.steps) {
            lines += StepLine(step) + "\n";
        }
        EXPECT_NE(lines.find(why), std::string::npos) << lines;
        EXPECT_TRUE(std::all_of(lines.begin(), lines.end(), [](char c) {
            return c == '\n' || (c >= 0x20 && c < 0x7F);
        })) << lines;

        const auto json = nlohmann::json::parse(RunJson(run, "0.75"), nullptr, false);
        ASSERT_FALSE(json.is_discarded()) << RunJson(run, "0.75");
        EXPECT_EQ(json["kit"]["firmware"], shown);
        EXPECT_EQ(json["steps"][1]["message"], why);

        QXmlStreamReader xml(QByteArray::fromStdString(RunJUnit(run, "bench")));
        QString failure;
        while (xml.readNext() != QXmlStreamReader::Invalid && !xml.atEnd()) {
            if (xml.isStartElement() && xml.name() == QLatin1String("failure")) {
                failure = xml.attributes().value("message").toString();
            }
        }
        EXPECT_FALSE(xml.hasError()) << xml.errorString().toStdString();
        EXPECT_EQ(failure.toStdString(), why);
    }
}

}  // namespace
