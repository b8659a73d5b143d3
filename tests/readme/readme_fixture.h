// Helpers of the readme tests: a temporary working directory, and files and their contents.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <QDir>
#include <QTemporaryDir>
#include <fstream>
#include <iterator>
#include <string>

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
