// Helpers of the readme tests: a temporary working directory with a drivers folder, the page's
// platform there, and files and their contents.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <QDir>
#include <QTemporaryDir>
#include <fstream>
#include <iterator>
#include <string>

#include "platform/platform.h"
#include "tests/common/test_support.h"

// Makes a fresh temporary directory the working directory and restores the old one after.
class CTempWorkingDirectory {
  public:
    CTempWorkingDirectory() : previous(QDir::currentPath()) {
        EXPECT_TRUE(directory.isValid());
        EXPECT_TRUE(QDir::setCurrent(directory.path()));
    }
    ~CTempWorkingDirectory() { QDir::setCurrent(previous); }
    std::string Path(const std::string& name = {}) const {
        const std::string base = directory.path().toStdString();
        return name.empty() ? base : base + "/" + name;
    }

  private:
    QString previous;
    QTemporaryDir directory;
};

// A fresh working directory holding an empty drivers folder, where kitboard.bin goes.
struct CDriversFolder {
    CDriversFolder() { EXPECT_TRUE(QDir().mkdir(QString::fromStdString(drivers))); }
    CTempWorkingDirectory cwd;
    const std::string drivers = cwd.Path("drivers");
    const std::string target = drivers + "/kitboard.bin";
};

// The page's platform: Readme.rtf and Test.bin from the working directory alone (an installed
// Palvex must not answer for it), kitboard.bin into the drivers folder, boxes recorded.
class CReadMePageTest : public ::testing::Test, protected CDriversFolder {
  protected:
    CReadMePageTest() {
        platform.messageBoxes = &sink;
        platform.driversDirectory = drivers;
        platform.documentFolders = {"."};
        platform.driversRemedy = REMEDY;
        platform.elevatedCopier = {};  // not an installed copier these tests did not choose
    }
    // What the system says to do when the target cannot be written.
    static constexpr const char* REMEDY = "Ask for the right to write there.";
    CRecordingBoxes sink;
    platform::Platform platform;
};

inline void WriteFile(const std::string& path, const std::string& bytes) {
    std::ofstream file(path, std::ios::binary | std::ios::trunc);
    file.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    ASSERT_TRUE(file.good()) << path;
}

inline std::string ReadFile(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

// Bytes of every value, different for each seed, in no run a shifted copy would match.
inline std::string Pattern(std::size_t size, char seed) {
    std::string bytes(size, '\0');
    for (std::size_t i = 0; i < size; ++i) {
        bytes[i] = static_cast<char>(seed + i * 7 + (i >> 9));
    }
    return bytes;
}

// Every entry of a directory, hidden ones included.
inline QStringList Entries(const std::string& directory) {
    return QDir(QString::fromStdString(directory))
        .entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot | QDir::System);
}

inline const std::string FILE_ERROR_BOX = "Error:Something wrong with the file access.";
