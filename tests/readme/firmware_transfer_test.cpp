// The firmware transfer through the page's button handler: whole copies, and failures that
// leave an existing target as it was.
#include "readme/firmware_transfer.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <QDir>

#include <random>

#include "readme/readme_page.h"
#include "readme_fixture.h"

namespace {

std::string RandomBytes(std::size_t size, unsigned seed) {
    std::mt19937 random(seed);
    std::string bytes(size, '\0');
    for (char& byte : bytes) {
        byte = static_cast<char>(random() & 0xFF);
    }
    return bytes;
}

// Files in the directory besides the target: leftovers of a copy.
QStringList Leftovers(const std::string& directory) {
    QStringList names = QDir(QString::fromStdString(directory))
                            .entryList(QDir::Files | QDir::Hidden | QDir::NoDotAndDotDot);
    names.removeAll("kitboard.bin");
    names.removeAll("Test.bin");
    names.removeAll(README_FILE);
    return names;
}

// Passes writes through to the real replacement file until `limit` bytes, then fails.
class CFailingWriter : public platform::IFileWriter {
  public:
    CFailingWriter(std::unique_ptr<platform::IFileWriter> real, std::size_t limit)
        : real(std::move(real)), limit(limit) {}
    bool Write(const void* data, std::size_t size) override {
        if (written + size > limit) {
            return false;
        }
        written += size;
        return real->Write(data, size);
    }
    bool Commit() override { return real->Commit(); }

  private:
    std::unique_ptr<platform::IFileWriter> real;
    std::size_t limit;
    std::size_t written = 0;
};

class FirmwareTransferTest : public ::testing::Test {
  protected:
    FirmwareTransferTest() {
        platform.messageBoxes = &sink;
        platform.driversDirectory = cwd.Path("drivers");
        EXPECT_TRUE(QDir().mkdir(QString::fromStdString(platform.driversDirectory)));
        target = platform.driversDirectory + "/kitboard.bin";
    }
    CTempWorkingDirectory cwd;
    CRecordingSink sink;
    platform::Platform platform;
    std::string target;
};

TEST_F(FirmwareTransferTest, CopiesAnyImageWholeAndSilently) {
    CReadMePage page(nullptr, platform);
    sink.shown.clear();  // no Readme.rtf here

    WriteFile(cwd.Path("Test.bin"), "");
    page.OnTransfer();
    EXPECT_TRUE(sink.shown.empty());
    EXPECT_TRUE(QFile::exists(QString::fromStdString(target)));
    EXPECT_EQ(ReadFile(target), "");

    for (std::size_t size : {std::size_t{32000}, std::size_t{100 * 1024}}) {
        const std::string image = RandomBytes(size, static_cast<unsigned>(size));
        WriteFile(cwd.Path("Test.bin"), image);
        page.OnTransfer();
        EXPECT_EQ(ReadFile(target), image) << size;
        page.OnTransfer();  // twice in a row: the same target, no message
        EXPECT_EQ(ReadFile(target), image) << size;
    }
    EXPECT_TRUE(sink.shown.empty());
    EXPECT_TRUE(Leftovers(platform.driversDirectory).isEmpty());
}

TEST_F(FirmwareTransferTest, FailuresShowTheBoxAndKeepThePreviousTarget) {
    const std::string previous = RandomBytes(5000, 7);
    WriteFile(target, previous);
    CReadMePage page(nullptr, platform);
    sink.shown.clear();

    // No Test.bin.
    page.OnTransfer();
    EXPECT_EQ(sink.shown, std::vector<std::string>{FILE_ERROR_BOX});
    EXPECT_EQ(ReadFile(target), previous);

    // Test.bin held by another program.
    const std::string image = RandomBytes(200 * 1024, 8);
    WriteFile(cwd.Path("Test.bin"), image);
    {
        const auto holder = platform::OpenExclusive(cwd.Path("Test.bin"));
        page.OnTransfer();
        EXPECT_EQ(sink.shown.size(), 2u);
    }
    EXPECT_EQ(ReadFile(target), previous);

    // A write failure partway, after more than one piece reached the temporary file.
    FirmwareFiles failing;
    failing.createTarget = [](const std::string& path) -> std::unique_ptr<platform::IFileWriter> {
        auto real = platform::CreateReplacement(path);
        if (!real) {
            return nullptr;
        }
        return std::make_unique<CFailingWriter>(std::move(real), 150 * 1024);
    };
    page.SetFirmwareFiles(failing);
    page.OnTransfer();
    EXPECT_EQ(sink.shown.size(), 3u);
    EXPECT_EQ(ReadFile(target), previous);
    EXPECT_TRUE(Leftovers(platform.driversDirectory).isEmpty());

    // Target directories that cannot be written: missing, or below a regular file (root
    // ignores permission bits, so these stand in for a directory without write access).
    page.SetFirmwareFiles({});
    for (const std::string& directory :
         {cwd.Path("missing"), cwd.Path("Test.bin/sub"), std::string()}) {
        platform::Platform elsewhere = platform;
        elsewhere.driversDirectory = directory;
        CReadMePage other(nullptr, elsewhere);
        sink.shown.clear();
        other.OnTransfer();
        EXPECT_EQ(sink.shown, std::vector<std::string>{FILE_ERROR_BOX}) << directory;
    }
    EXPECT_FALSE(QFile::exists(QString::fromStdString(cwd.Path("missing"))));

    // After all that, a good copy still replaces the target, keeping its permissions.
    ASSERT_EQ(chmod(target.c_str(), 0640), 0);
    sink.shown.clear();
    page.OnTransfer();
    EXPECT_TRUE(sink.shown.empty());
    EXPECT_EQ(ReadFile(target), image);
    EXPECT_EQ(QFile::permissions(QString::fromStdString(target)) & QFileDevice::ReadOther,
              QFileDevice::Permissions());
    EXPECT_TRUE(Leftovers(platform.driversDirectory).isEmpty());
}

}  // namespace
