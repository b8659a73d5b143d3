// The reports as the programs that read them parse them: JSON, and JUnit XML as CI systems
// show it (testsuite, testcase, failure with its message, skipped).
#include <gtest/gtest.h>

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QXmlStreamReader>
#include <nlohmann/json.hpp>

#include "check/check_report.h"

namespace {

// Every character a system's error text or a device path may bring that the formats escape,
// and a byte that is not UTF-8.
const std::string AWKWARD = "port \"COM1\" <busy> & 'held'\\\nby\tpid 7\x01\xFF";

CheckRun SampleRun() {
    CheckRun run;
    run.kitPath = "/dev/hidraw0";
    run.firmwareVersion = "K1.07";
    CheckStep find("find");
    find.passed = true;
    find.ms = 3.26;
    CheckStep serial("serial");
    serial.message = AWKWARD;
    CheckStep echo("echo-usb");
    echo.passed = true;
    echo.figures["roundTripP99Ms"] = 4.5;
    CheckStep close("close");
    close.skipped = true;
    close.message = "no Kit";
    run.steps = {find, serial, echo, close};
    run.exit = CHECK_NO_DEVICE;
    return run;
}

TEST(CheckReport, JsonAndJUnitCarryEveryStepAndMessageExactly) {
    const CheckRun run = SampleRun();

    QJsonParseError error;
    const QJsonDocument json =
        QJsonDocument::fromJson(QByteArray::fromStdString(RunJson(run, "0.75")), &error);
    ASSERT_EQ(error.error, QJsonParseError::NoError) << error.errorString().toStdString();
    const QJsonObject root = json.object();
    EXPECT_EQ(root["exitCode"].toInt(), 2);
    EXPECT_FALSE(root["passed"].toBool());
    EXPECT_EQ(root["kit"].toObject()["firmware"].toString(), "K1.07");
    EXPECT_TRUE(root["serialPort"].isNull());
    const QJsonArray steps = root["steps"].toArray();
    ASSERT_EQ(steps.size(), 4);
    // Kept exactly, but for the byte that is not UTF-8.
    EXPECT_EQ(steps[1].toObject()["message"].toString().toStdString(),
              AWKWARD.substr(0, AWKWARD.size() - 1) + "\uFFFD");
    EXPECT_EQ(steps[1].toObject()["result"].toString(), "failed");
    EXPECT_EQ(steps[3].toObject()["result"].toString(), "skipped");
    EXPECT_DOUBLE_EQ(steps[0].toObject()["ms"].toDouble(), 3.3);  // one decimal
    EXPECT_DOUBLE_EQ(steps[2].toObject()["figures"].toObject()["roundTripP99Ms"].toDouble(), 4.5);

    QXmlStreamReader xml(QByteArray::fromStdString(RunJUnit(run, "bench<7>")));
    QStringList cases;
    QString failure;
    QString skipped;
    while (!xml.atEnd()) {
        if (xml.readNext() != QXmlStreamReader::StartElement) {
            continue;
        }
        const auto name = xml.name();
        if (name == QLatin1String("testsuite")) {
            EXPECT_EQ(xml.attributes().value("tests").toInt(), 4);
            EXPECT_EQ(xml.attributes().value("failures").toInt(), 1);
            EXPECT_EQ(xml.attributes().value("skipped").toInt(), 1);
            EXPECT_EQ(xml.attributes().value("hostname").toString(), "bench<7>");
        } else if (name == QLatin1String("testcase")) {
            cases << xml.attributes().value("name").toString();
        } else if (name == QLatin1String("failure")) {
            failure = xml.attributes().value("message").toString();
        } else if (name == QLatin1String("skipped")) {
            skipped = xml.attributes().value("message").toString();
        }
    }
    EXPECT_FALSE(xml.hasError()) << xml.errorString().toStdString();
    EXPECT_EQ(cases, QStringList({"find", "serial", "echo-usb", "close"}));
    // XML 1.0 cannot carry U+0001: it becomes '?'; the byte that is not UTF-8 U+FFFD.
    EXPECT_EQ(failure.toStdString(), "port \"COM1\" <busy> & 'held'\\\nby\tpid 7?\uFFFD");
    EXPECT_EQ(skipped, "no Kit");

    EXPECT_EQ(StepLine(run.steps[3]), "SKIP  close             0 ms  no Kit");
    EXPECT_EQ(SummaryLine(run), "2 of 3 steps passed; exit 2: no Kit or no serial port");
    // On a terminal the same text shows its control bytes and the stray byte as \xNN.
    EXPECT_EQ(
        StepLine(run.steps[1]),
        "FAIL  serial            0 ms  port \"COM1\" <busy> & 'held'\\\\x0Aby\\x09pid 7\\x01\\xFF");

    // Device names are the system's, but their control bytes are shown too, and the JSON stays
    // valid whatever bytes they hold.
    DeviceList list;
    list.ports.push_back({"COM9", "/dev/tty\x1B[2J\xC3\xA4\xC2\x9B", false, "busy"});
    EXPECT_NE(
        ListText(list).find("COM9 (/dev/tty\\x1B[2J\xC3\xA4\\xC2\\x9B)  cannot be opened: busy"),
        std::string::npos)
        << ListText(list);
    const auto listed = nlohmann::json::parse(ListJson(list), nullptr, false);
    ASSERT_FALSE(listed.is_discarded()) << ListJson(list);
    EXPECT_EQ(listed["serialPorts"][0]["path"], "/dev/tty\x1B[2J\xC3\xA4\xC2\x9B");
}

}  // namespace
