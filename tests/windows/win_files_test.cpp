// Exclusive files, whole-file replacement, code pages and the system's folders on Windows.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>

#include "bench/traffic_file.h"
#include "platform/code_pages.h"
#include "platform/exclusive_file.h"
#include "platform/platform.h"
#include "platform/windows/win_api.h"

namespace {

namespace fs = std::filesystem;

class WinFilesTest : public testing::Test {
  protected:
    void SetUp() override {
        folder =
            fs::temp_directory_path() /
            ("palvex-files-" + std::to_string(testing::UnitTest::GetInstance()->random_seed()));
        fs::remove_all(folder);
        fs::create_directories(folder);
        // A name outside ASCII, so the UTF-8 to UTF-16 path conversion is exercised.
        target = folder / fs::path(u8"L\u00e4s mig.rtf");
        Put(target, "old content");
    }
    void TearDown() override { fs::remove_all(folder); }

    static void Put(const fs::path& path, const std::string& text) {
        std::ofstream(path, std::ios::binary) << text;
    }
    static std::string Get(const fs::path& path) {
        std::ifstream file(path, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(file), {});
    }
    std::string Utf8(const fs::path& path) const {
        const std::u8string text = path.u8string();
        return std::string(text.begin(), text.end());
    }
    size_t Entries() const {
        return static_cast<size_t>(std::distance(fs::directory_iterator(folder), {}));
    }

    fs::path folder;
    fs::path target;
};

TEST_F(WinFilesTest, AHeldFileRefusesASecondOpenAndAReplacement) {
    std::string failure;
    std::unique_ptr<platform::IFileReader> reader = platform::OpenExclusive(Utf8(target), &failure);
    ASSERT_NE(reader, nullptr) << failure;
    EXPECT_EQ(platform::OpenExclusive(Utf8(target), &failure), nullptr);
    EXPECT_EQ(failure, "In use by another program");
    EXPECT_EQ(platform::CreateReplacement(Utf8(target), &failure), nullptr);
    EXPECT_EQ(failure, "In use by another program");
    char buffer[64];
    EXPECT_EQ(reader->Read(buffer, sizeof buffer), 11);
    EXPECT_EQ(std::string(buffer, 11), "old content");
    EXPECT_EQ(reader->Read(buffer, sizeof buffer), 0);
    reader.reset();
    EXPECT_NE(platform::OpenExclusive(Utf8(target)), nullptr);
    EXPECT_EQ(platform::OpenExclusive(Utf8(folder / "missing.rtf"), &failure), nullptr);
    EXPECT_FALSE(failure.empty());
}

TEST_F(WinFilesTest, AReplacementCommitsWholeAndAnAbandonedOneLeavesNoTrace) {
    // What an interrupted replacement left behind goes; a look-alike of another length stays.
    Put(folder / fs::path(u8".L\u00e4s mig.rtf.part-abc123"), "stale");
    Put(folder / fs::path(u8".L\u00e4s mig.rtf.part-keep"), "not ours");
    {
        std::unique_ptr<platform::IFileWriter> writer = platform::CreateReplacement(Utf8(target));
        ASSERT_NE(writer, nullptr);
        EXPECT_TRUE(writer->Write("half", 4));
        EXPECT_EQ(Get(target), "old content");
    }
    EXPECT_EQ(Get(target), "old content");
    EXPECT_EQ(Entries(), 2u);  // the target and the look-alike

    std::unique_ptr<platform::IFileWriter> writer = platform::CreateReplacement(Utf8(target));
    ASSERT_NE(writer, nullptr);
    EXPECT_TRUE(writer->Write("new ", 4));
    EXPECT_TRUE(writer->Write("content, longer", 15));
    EXPECT_EQ(Get(target), "old content");
    ASSERT_TRUE(writer->Commit()) << writer->FailureText();
    writer.reset();
    EXPECT_EQ(Get(target), "new content, longer");
    EXPECT_EQ(Entries(), 2u);

    // A target that does not exist yet is made.
    const fs::path fresh = folder / "Test.bin";
    writer = platform::CreateReplacement(Utf8(fresh));
    ASSERT_NE(writer, nullptr);
    EXPECT_TRUE(writer->Write("\0\1\2", 3));
    ASSERT_TRUE(writer->Commit()) << writer->FailureText();
    EXPECT_EQ(Get(fresh), std::string("\0\1\2", 3));
    EXPECT_EQ(platform::CreateReplacement(Utf8(folder) + "\\"), nullptr);
}

// Another program opens the target after the transfer began and lets nobody delete or rename
// it: the commit fails with the "in use" text, the target keeps its old content and nothing of
// the attempt (temporary file, backup) is left beside it.
TEST_F(WinFilesTest, ATargetHeldAtTheCommitStaysWholeAndNothingIsLeft) {
    std::unique_ptr<platform::IFileWriter> writer = platform::CreateReplacement(Utf8(target));
    ASSERT_NE(writer, nullptr);
    EXPECT_TRUE(writer->Write("new content", 11));
    const HANDLE held = CreateFileW(target.wstring().c_str(), GENERIC_READ, FILE_SHARE_READ,
                                    nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(held, INVALID_HANDLE_VALUE);
    EXPECT_FALSE(writer->Commit());
    EXPECT_EQ(writer->FailureText(), "In use by another program");
    writer.reset();
    CloseHandle(held);
    EXPECT_EQ(Get(target), "old content");
    EXPECT_EQ(Entries(), 1u);

    // Let go, the same transfer goes through and leaves no backup behind.
    writer = platform::CreateReplacement(Utf8(target));
    ASSERT_NE(writer, nullptr);
    EXPECT_TRUE(writer->Write("new content", 11));
    ASSERT_TRUE(writer->Commit()) << writer->FailureText();
    writer.reset();
    EXPECT_EQ(Get(target), "new content");
    EXPECT_EQ(Entries(), 1u);
}

// A traffic save names its file in UTF-8 all the way down; in the ANSI code page the name
// reached the file system garbled.
TEST_F(WinFilesTest, TrafficIsSavedUnderANameOutsideAscii) {
    QString failure;
    ASSERT_TRUE(SaveTrafficBytes(QString::fromStdString(Utf8(target)), "K1.07", failure))
        << failure.toStdString();
    EXPECT_EQ(Get(target), "K1.07");
    EXPECT_EQ(Entries(), 1u);
}

TEST(WinCodePages, TheSystemDecodesKnownPagesAndMarksUnmappedBytes) {
    EXPECT_EQ(platform::DecodeCodePage(932, "\x82\xa0\x83\x41"), u"\u3042\u30a2");
    EXPECT_EQ(platform::DecodeCodePage(1251, "\xcf\xf0\xe8"), u"\u041f\u0440\u0438");
    EXPECT_EQ(platform::DecodeCodePage(1251, ""), u"");
    // A lead byte with nothing after it cannot be a character.
    EXPECT_EQ(platform::DecodeCodePage(932, "A\x82"), u"A\uFFFD");
    EXPECT_EQ(platform::DecodeCodePage(12345, "abc"), std::nullopt);
    EXPECT_EQ(platform::DecodeCodePage(-1, "abc"), std::nullopt);
}

// Folders named outside ASCII: the document is found there and a joined path names it.
TEST_F(WinFilesTest, DocumentsAreFoundAndNamedInAFolderOfAnyName) {
    const std::string name = Utf8(target.filename());
    EXPECT_EQ(platform::FindDocument(name, {".", Utf8(folder)}), Utf8(target));
    EXPECT_EQ(platform::JoinPath(Utf8(folder), name), Utf8(target));
    EXPECT_EQ(platform::JoinPath("C:\\Windows\\system32\\drivers", "kitboard.bin"),
              "C:\\Windows\\system32\\drivers\\kitboard.bin");
    EXPECT_EQ(platform::FindDocument("Test.bin", {Utf8(folder)}), "Test.bin");
}

TEST(WinSystemFolders, DocumentsBesideTheProgramAndTheDriversDirectory) {
    const std::string drivers = platform::DriversDirectory();
    const std::string suffix = "\\system32\\drivers";
    ASSERT_GT(drivers.size(), suffix.size() + 2);
    EXPECT_EQ(drivers.substr(drivers.size() - suffix.size()), suffix);
    EXPECT_EQ(drivers.substr(1, 2), ":\\");
    EXPECT_EQ(drivers.find("\\\\"), std::string::npos);
    EXPECT_TRUE(fs::is_directory(fs::u8path(drivers)));

    const std::vector<std::string> folders = platform::DocumentFolders();
    ASSERT_EQ(folders.size(), 2u);
    EXPECT_EQ(folders[0], ".");
    EXPECT_TRUE(fs::is_directory(fs::u8path(folders[1])));
}

}  // namespace
