// The firmware copier started through UAC ("runas"; Wine starts it without a prompt): only from
// a folder no standard user can change, with the image streamed to it through a pipe that its
// parent serves; it writes the drivers folder's kitboard.bin and says why when it refuses. And
// the copy-by-hand hint, which an administrator pastes into cmd.
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
#include "readme/firmware_copier.h"
#include "readme/firmware_transfer.h"

namespace {

namespace fs = std::filesystem;

const std::wstring PIPE = L"\\\\.\\pipe\\palvex-firmware-";

// Started as "test_windows --serve-pipe NAME": serves NAME, a pipe this test's own process did
// not create, until something connects.
[[maybe_unused]] const bool g_pipeServer = [] {
    const std::wstring line = GetCommandLineW();
    const std::size_t at = line.find(L" --serve-pipe ");
    if (at != std::wstring::npos) {
        const HANDLE pipe = CreateNamedPipeW(line.substr(at + 14).c_str(), PIPE_ACCESS_DUPLEX,
                                             PIPE_TYPE_BYTE, 1, 4096, 4096, 0, nullptr);
        ConnectNamedPipe(pipe, nullptr);
        ExitProcess(0);
    }
    return false;
}();

PROCESS_INFORMATION Start(const fs::path& program, const std::wstring& arguments) {
    std::wstring line = L"\"" + program.wstring() + L"\" " + arguments;
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION started{};
    CreateProcessW(program.c_str(), line.data(), nullptr, nullptr, FALSE, CREATE_NO_WINDOW, nullptr,
                   nullptr, &startup, &started);
    CloseHandle(started.hThread);
    return started;
}

DWORD Ended(PROCESS_INFORMATION& process) {
    DWORD code = STILL_ACTIVE;
    WaitForSingleObject(process.hProcess, 30000);
    GetExitCodeProcess(process.hProcess, &code);
    CloseHandle(process.hProcess);
    return code;
}

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

TEST(WinElevatedCopy, OnlyATrustedCopierIsElevatedAndItTakesTheImageFromItsParentOnly) {
    int argc = 1;
    char name[] = "test_windows";
    char* argv[] = {name, nullptr};
    QCoreApplication app(argc, argv);
    wchar_t module[MAX_PATH];
    const fs::path tests =
        fs::path(std::wstring(module, GetModuleFileNameW(nullptr, module, MAX_PATH)));
    const std::string built =
        (tests.parent_path() / "../../palvex-copy-firmware.exe").lexically_normal().string();
    const fs::path folder = fs::temp_directory_path() / "palvex-elevated";
    fs::create_directories(folder);
    std::mt19937 random(7);
    std::string image(50000, '\0');
    for (char& byte : image) {
        byte = static_cast<char>(random());
    }
    std::ofstream(folder / "Test.bin", std::ios::binary) << image;
    std::ofstream(folder / "empty.bin", std::ios::binary).close();
    std::ofstream(folder / "big.bin", std::ios::binary).close();
    fs::resize_file(folder / "big.bin", 16 * 1024 * 1024 + 1);
    const std::string target = FirmwareTargetPath(platform::DriversDirectory());

    // The build tree is the user's: its copier is not run as administrator, and the user is
    // told what to do instead.
    auto outcome = CopyElevated({built}, (folder / "Test.bin").string());
    ASSERT_TRUE(outcome.has_value()) << "no end within a minute";
    EXPECT_FALSE(outcome->started);
    EXPECT_NE(outcome->said.find("can be changed without administrator rights"), std::string::npos)
        << outcome->said;
    EXPECT_NE(outcome->said.find("\"Run as administrator\""), std::string::npos) << outcome->said;

    // A copier only administrators can change, which scripts/windows-build puts on a drive of
    // its own (Wine takes a file's security from its Unix owner and mode).
    const char* trusted = std::getenv("PALVEX_TEST_TRUSTED_COPIER");
    if (trusted == nullptr) {
        GTEST_SKIP() << "PALVEX_TEST_TRUSTED_COPIER names no copier only administrators can change";
    }
    outcome = CopyElevated({trusted}, (folder / "Test.bin").string());
    ASSERT_TRUE(outcome.has_value());
    EXPECT_EQ(outcome->exitCode, COPIER_DONE) << outcome->said;
    std::ifstream written(target, std::ios::binary);
    EXPECT_TRUE(std::string(std::istreambuf_iterator<char>(written), {}) == image) << target;
    written.close();

    outcome = CopyElevated({trusted}, (folder / "big.bin").string());
    ASSERT_TRUE(outcome.has_value());
    EXPECT_EQ(outcome->exitCode, COPIER_IMAGE_REFUSED);
    EXPECT_EQ(outcome->said, "Larger than 16777216 bytes") << "the reason came through the pipe";
    for (const char* refused : {"empty.bin", "missing.bin"}) {
        outcome = CopyElevated({trusted}, (folder / refused).string());
        ASSERT_TRUE(outcome.has_value());
        EXPECT_EQ(outcome->exitCode, COPIER_IMAGE_REFUSED) << refused;
        EXPECT_FALSE(outcome->said.empty()) << refused;
    }

    // Started directly by this process and handed its pipe, the copier takes what comes (an
    // announced length of 0, refused with its reason on the pipe)...
    const std::wstring self = std::to_wstring(GetCurrentProcessId());
    const std::wstring own = PIPE + self + L"-test";
    const HANDLE pipe = CreateNamedPipeW(own.c_str(), PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED,
                                         PIPE_TYPE_BYTE, 1, 4096, 4096, 0, nullptr);
    PROCESS_INFORMATION copier = Start(trusted, L"--from " + self + L" " + own);
    OVERLAPPED io{};
    io.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    ConnectNamedPipe(pipe, &io);
    const HANDLE connected[] = {io.hEvent, copier.hProcess};
    ASSERT_EQ(WaitForMultipleObjects(2, connected, FALSE, 30000), WAIT_OBJECT_0) << "never came";
    const char length[8] = {};
    char reply[256] = {};
    DWORD moved = 0;
    WriteFile(pipe, length, sizeof length, nullptr, &io);
    GetOverlappedResult(pipe, &io, &moved, TRUE);
    ReadFile(pipe, reply, sizeof reply - 1, nullptr, &io);
    GetOverlappedResult(pipe, &io, &moved, TRUE);
    EXPECT_EQ(Ended(copier), static_cast<DWORD>(COPIER_IMAGE_REFUSED));
    EXPECT_EQ(std::string(reply), "Empty: there is no firmware in it\n");
    CloseHandle(io.hEvent);
    CloseHandle(pipe);

    // ...but nothing from a process that is not its parent, nor its parent's pointing at a pipe
    // another process serves.
    const std::wstring foreign = PIPE + L"stranger-test";
    PROCESS_INFORMATION stranger = Start(tests, L"--serve-pipe " + foreign);
    for (int tries = 0; tries < 200 && !WaitNamedPipeW(foreign.c_str(), 0); ++tries) {
        Sleep(50);
    }
    copier = Start(trusted, L"--from " + std::to_wstring(stranger.dwProcessId) + L" " + foreign);
    EXPECT_EQ(Ended(copier), static_cast<DWORD>(COPIER_USAGE)) << "not its parent";
    copier = Start(trusted, L"--from " + self + L" " + foreign);
    EXPECT_EQ(Ended(copier), static_cast<DWORD>(COPIER_USAGE)) << "not its parent's pipe";
    TerminateProcess(stranger.hProcess, 0);
    Ended(stranger);
    written.open(target, std::ios::binary);
    EXPECT_TRUE(std::string(std::istreambuf_iterator<char>(written), {}) == image)
        << "a refused copier wrote " << target;

    // Given up before it ends: nothing is called afterwards.
    bool called = false;
    {
        platform::CElevatedCopy abandoned(
            nullptr, {trusted}, (folder / "Test.bin").string(),
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

// cmd expands %NAME% (and !NAME! with delayed expansion) even inside double quotes: a path with
// them gets no command to paste; other characters are safe inside the quotes.
TEST(WinElevatedCopy, TheCopyByHandCommandIsSafeToPasteIntoCmd) {
    const std::string target = "C:\\Windows\\system32\\drivers\\kitboard.bin";
    const std::string plain = "C:\\a&b|c^d<e>(f)\\Test.bin";
    EXPECT_NE(platform::CopyByHandText(plain, target)
                  .find("copy /Y \"" + plain + "\" \"" + target + "\""),
              std::string::npos);
    for (const char* image : {"C:\\100%PATH%\\Test.bin", "C:\\x!y\\Test.bin"}) {
        const std::string hint = platform::CopyByHandText(image, target);
        EXPECT_EQ(hint.find("copy /Y"), std::string::npos) << hint;
        EXPECT_NE(hint.find("Explorer"), std::string::npos) << hint;
    }
}

}  // namespace
