// The firmware copier started through UAC ("runas"; Wine starts it without a prompt): it takes
// the image and the pipe for its reason over from this process by their handles, writes the
// drivers folder's kitboard.bin, and says why when it refuses.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <random>
#include <string>

#include "platform/elevated_copy.h"
#include "platform/platform.h"
#include "platform/windows/win_api.h"
#include "readme/firmware_transfer.h"

namespace {

namespace fs = std::filesystem;

// Runs one elevated copy to its end, the events running meanwhile.
std::optional<platform::ElevatedCopyOutcome> CopyElevated(const std::vector<std::string>& command,
                                                          const std::string& image) {
    std::optional<platform::ElevatedCopyOutcome> outcome;
    platform::CElevatedCopy copy(
        nullptr, command, image,
        [&](const platform::ElevatedCopyOutcome& ended) { outcome = ended; });
    QElapsedTimer waited;
    waited.start();
    while (!outcome && waited.elapsed() < 60000) {
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 100);
    }
    return outcome;
}

TEST(WinElevatedCopy, TheCopierTakesTheHandedImageAndSaysWhyItRefuses) {
    int argc = 1;
    char name[] = "test_windows";
    char* argv[] = {name, nullptr};
    QCoreApplication app(argc, argv);
    wchar_t module[MAX_PATH];
    const fs::path tests =
        fs::path(std::wstring(module, GetModuleFileNameW(nullptr, module, MAX_PATH)));
    const std::string copier =
        (tests.parent_path() / "../../palvex-copy-firmware.exe").lexically_normal().string();
    const fs::path folder = fs::temp_directory_path() / "palvex-elevated";
    fs::create_directories(folder);
    std::mt19937 random(7);
    std::string image(50000, '\0');
    for (char& byte : image) {
        byte = static_cast<char>(random());
    }
    std::ofstream(folder / "Test.bin", std::ios::binary) << image;
    std::ofstream(folder / "big.bin", std::ios::binary).close();
    fs::resize_file(folder / "big.bin", 16 * 1024 * 1024 + 1);
    const std::string target = FirmwareTargetPath(platform::DriversDirectory());

    auto outcome = CopyElevated({copier}, (folder / "Test.bin").string());
    ASSERT_TRUE(outcome.has_value()) << "no end within a minute";
    EXPECT_TRUE(outcome->started);
    EXPECT_EQ(outcome->exitCode, 0) << outcome->said;
    std::ifstream written(target, std::ios::binary);
    EXPECT_TRUE(std::string(std::istreambuf_iterator<char>(written), {}) == image) << target;
    written.close();

    outcome = CopyElevated({copier}, (folder / "big.bin").string());
    ASSERT_TRUE(outcome.has_value());
    EXPECT_EQ(outcome->exitCode, 1);
    EXPECT_EQ(outcome->said, "Larger than 16777216 bytes") << "the reason came through the pipe";

    outcome = CopyElevated({copier}, (folder / "missing.bin").string());
    ASSERT_TRUE(outcome.has_value());
    EXPECT_EQ(outcome->exitCode, 1);
    EXPECT_FALSE(outcome->said.empty());

    outcome = CopyElevated({(folder / "no-copier.exe").string()}, (folder / "Test.bin").string());
    ASSERT_TRUE(outcome.has_value());
    EXPECT_FALSE(outcome->started);
    EXPECT_FALSE(outcome->said.empty());

    // Given up before it ends: nothing is called afterwards.
    bool called = false;
    {
        platform::CElevatedCopy abandoned(
            nullptr, {copier}, (folder / "Test.bin").string(),
            [&](const platform::ElevatedCopyOutcome&) { called = true; });
    }
    QElapsedTimer waited;
    waited.start();
    while (waited.elapsed() < 3000) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 100);
    }
    EXPECT_FALSE(called);
    fs::remove_all(folder);
}

}  // namespace
