// palvex-check as a script or CI job runs it: exit codes, standard output, the JUnit file,
// bad usage and Ctrl+C.
#include <gtest/gtest.h>

#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>

#include <signal.h>

namespace {

struct Result {
    int exitCode = -1;
    QByteArray out;
    QByteArray err;
};

Result RunCheck(const QStringList& arguments) {
    QProcess process;
    process.start(PALVEX_CHECK_PROGRAM, arguments);
    EXPECT_TRUE(process.waitForFinished(30000));
    return {process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1,
            process.readAllStandardOutput(), process.readAllStandardError()};
}

TEST(CheckProgram, ScriptsGetAnExitCodeJsonOnStdoutAndAJUnitFile) {
    QTemporaryDir dir;
    const QString junit = dir.filePath("out.xml");
    Result result =
        RunCheck({"--sim", "--echo", "usb,serial", "--count=200", "--json", "--junit", junit});
    EXPECT_EQ(result.exitCode, 0) << result.err.toStdString();
    const QJsonObject root = QJsonDocument::fromJson(result.out).object();
    EXPECT_TRUE(root["passed"].toBool()) << result.out.toStdString();
    EXPECT_EQ(root["serialPort"].toObject()["name"].toString(), "COM1");
    // The steps still show as they end, on standard error beside the document.
    EXPECT_TRUE(result.err.contains("PASS  echo-serial")) << result.err.toStdString();
    QFile file(junit);
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    EXPECT_TRUE(file.readAll().contains("<testcase classname=\"palvex-check\" name=\"close\""));

    result = RunCheck({"--sim", "--list"});
    EXPECT_EQ(result.exitCode, 0);
    EXPECT_TRUE(result.out.contains("opens, reports of 9/9 bytes")) << result.out.toStdString();

    for (const QStringList& bad :
         {QStringList{"--count", "0"}, QStringList{"--echo=usb,ir"}, QStringList{"--timeout"},
          QStringList{"--frobnicate"}, QStringList{"--json=yes"}}) {
        result = RunCheck(bad);
        EXPECT_EQ(result.exitCode, 64) << bad.join(' ').toStdString();
        EXPECT_TRUE(result.err.startsWith("palvex-check: ")) << result.err.toStdString();
        EXPECT_TRUE(result.out.isEmpty());
    }
}

TEST(CheckProgram, CtrlCEndsARunningCheckWithTheCloseStep) {
    QProcess process;
    process.start(PALVEX_CHECK_PROGRAM, {"--sim", "--echo", "serial", "--count", "1000000"});
    ASSERT_TRUE(process.waitForStarted());
    QByteArray out;
    while (!out.contains("PASS  serial") && process.waitForReadyRead(10000)) {
        out += process.readAllStandardOutput();
    }
    ASSERT_TRUE(out.contains("PASS  serial")) << out.toStdString();
    ::kill(static_cast<pid_t>(process.processId()), SIGINT);
    EXPECT_TRUE(process.waitForFinished(5000));
    out += process.readAllStandardOutput();
    EXPECT_EQ(process.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(process.exitCode(), 130);
    EXPECT_TRUE(out.contains("PASS  close")) << out.toStdString();
}

}  // namespace
