// The ReadMe page: the stream-in pieces, reading Readme.rtf once, and its failures.
#include "readme/readme_page.h"

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QPushButton>
#include <QTextEdit>

#include "platform/exclusive_file.h"
#include "readme_fixture.h"

namespace {

TEST(ReadMeStreamIn, DeliversPiecesOfTheRequestedSizeThenZero) {
    std::string document(10000, 'x');
    document[9999] = 'z';
    const std::pair<std::string, std::vector<int32_t>> cases[] = {
        {document, {4096, 4096, 1808, 0}}, {std::string(8192, 'y'), {4096, 4096, 0}}, {"", {0}}};
    for (const auto& [text, expected] : cases) {
        std::vector<int32_t> pieces;
        EXPECT_EQ(StreamIn(text, 4096, &pieces), text);
        EXPECT_EQ(pieces, expected) << text.size();
    }
}

class ReadMePageTest : public CReadMePageTest {};

TEST_F(ReadMePageTest, ReadsTheDocumentOnceAtConstruction) {
    // Past 32,000 bytes, where a fixed load buffer would cut it, and a zero byte ending it.
    const std::string body = QByteArray("lorem ipsum ").repeated(3400).toStdString();
    std::string document = "{\\rtf1\\ansi {\\b Title}\\par " + body + "END\\par}";
    document += std::string(1, '\0') + "{\\rtf1 after the zero}";
    WriteFile(cwd.Path(README_FILE), document);

    CReadMePage page(nullptr, platform);
    EXPECT_TRUE(page.Loaded());
    EXPECT_TRUE(page.ReadMeView()->isReadOnly());
    const QString shown = page.ReadMeView()->toPlainText();
    EXPECT_EQ(shown, QString::fromStdString("Title\n" + body + "END"));
    EXPECT_EQ(page.ReadMeView()->document()->find("Title").charFormat().fontWeight(), QFont::Bold);

    // Changing the file afterwards changes nothing.
    WriteFile(cwd.Path(README_FILE), "{\\rtf1 changed}");
    QCoreApplication::processEvents();
    page.show();
    QCoreApplication::processEvents();
    EXPECT_EQ(page.ReadMeView()->toPlainText(), shown);

    // An empty file: an empty view and no message.
    WriteFile(cwd.Path(README_FILE), "");
    CReadMePage empty(nullptr, platform);
    EXPECT_TRUE(empty.Loaded());
    EXPECT_TRUE(empty.ReadMeView()->toPlainText().isEmpty());
    EXPECT_TRUE(sink.Entries().empty()) << "neither document showed a box";
}

TEST_F(ReadMePageTest, MissingOrLockedDocumentShowsOneBoxAndThePageStillWorks) {
    WriteFile(cwd.Path("Test.bin"), "image");
    {
        CReadMePage page(nullptr, platform);
        EXPECT_EQ(sink.Entries(), std::vector<std::string>{FILE_ERROR_BOX});
        EXPECT_EQ(sink.Owners(), std::vector<QWidget*>{&page});  // the box sits over the page
        EXPECT_FALSE(page.Loaded());
        EXPECT_TRUE(page.ReadMeView()->toPlainText().isEmpty());
        // The transfer button still does its work, silently.
        page.TransferButton()->click();
        EXPECT_EQ(sink.Entries().size(), 1u);
        EXPECT_EQ(ReadFile(target), "image");
    }

    // Held under a lock by another program: the same box.
    sink.Clear();
    WriteFile(cwd.Path(README_FILE), "{\\rtf1 locked}");
    {
        const auto holder = platform::OpenExclusive(cwd.Path(README_FILE));
        ASSERT_NE(holder, nullptr);
        CReadMePage page(nullptr, platform);
        EXPECT_EQ(sink.Entries(), std::vector<std::string>{FILE_ERROR_BOX});
        EXPECT_TRUE(page.ReadMeView()->toPlainText().isEmpty());
    }
    // Released: readable again, and the lock is the page's only while it reads.
    CReadMePage page(nullptr, platform);
    EXPECT_EQ(page.ReadMeView()->toPlainText(), "locked");
    EXPECT_NE(platform::OpenExclusive(cwd.Path(README_FILE)), nullptr);
    EXPECT_EQ(sink.Entries().size(), 1u);

    // A directory under the name cannot be read either.
    sink.Clear();
    ASSERT_EQ(std::remove(cwd.Path(README_FILE).c_str()), 0);
    ASSERT_TRUE(QDir().mkdir(QString::fromStdString(cwd.Path(README_FILE))));
    CReadMePage directory(nullptr, platform);
    EXPECT_EQ(sink.Entries(), std::vector<std::string>{FILE_ERROR_BOX});
}

// Started from a folder without the documents (as from a desktop menu), the page finds them
// in the data folder; a document in the working directory still wins over the installed one.
TEST_F(ReadMePageTest, DocumentsComeFromTheWorkingDirectoryElseTheDataFolder) {
    QTemporaryDir data;
    const std::string dataDir = data.path().toStdString();
    WriteFile(dataDir + "/" + README_FILE, "{\\rtf1 installed}");
    WriteFile(dataDir + "/Test.bin", "installed image");
    platform.documentFolders = {".", cwd.Path("absent"), dataDir};

    const struct {
        bool localCopies;
        const char* shown;
        const char* image;
    } cases[] = {{false, "installed", "installed image"}, {true, "local", "local image"}};
    for (const auto& c : cases) {
        if (c.localCopies) {
            WriteFile(cwd.Path(README_FILE), "{\\rtf1 local}");
            WriteFile(cwd.Path("Test.bin"), "local image");
        }
        CReadMePage page(nullptr, platform);
        EXPECT_EQ(page.ReadMeView()->toPlainText(), c.shown);
        page.TransferButton()->click();
        EXPECT_EQ(ReadFile(target), c.image);
        EXPECT_TRUE(sink.Entries().empty()) << c.shown;
    }
}

}  // namespace
