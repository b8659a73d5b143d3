// Exclusive reads and whole-file replacement on Windows: share mode 0 for the lock, a
// temporary file beside the target, FlushFileBuffers, then ReplaceFileW or MoveFileExW.
#include "platform/exclusive_file.h"

#include "platform/windows/win_api.h"

#include <fcntl.h>
#include <io.h>

#include <atomic>
#include <climits>
#include <cstdlib>
#include <cwchar>
#include <string>
#include <utility>

#include "platform/windows/win_text.h"

namespace platform {

using windows::SystemErrorText;
using windows::WideFromUtf8;

namespace {

constexpr const char* LOCKED_TEXT = "In use by another program";
constexpr const char* NOT_REGULAR_TEXT = "Not a regular file";
// Temporary files are "." + target name + this + six hexadecimal digits.
constexpr const wchar_t* TEMPORARY_INFIX = L".part-";
// The old target while it is being replaced; never cleaned up by another transfer, since after
// a failed restore it holds the only copy.
constexpr const wchar_t* BACKUP_INFIX = L".old-";
constexpr size_t TEMPORARY_RANDOM = 6;
constexpr int TEMPORARY_ATTEMPTS = 16;

std::atomic<unsigned> g_temporaryCounter{0};

void SetFailure(std::string* failure, std::string text) {
    if (failure != nullptr) {
        *failure = std::move(text);
    }
}

std::string FailureOf(DWORD code) {
    // ERROR_UNABLE_TO_REMOVE_REPLACED: another program holds the target without letting it
    // be deleted or renamed.
    return code == ERROR_SHARING_VIOLATION || code == ERROR_LOCK_VIOLATION ||
                   code == ERROR_UNABLE_TO_REMOVE_REPLACED
               ? LOCKED_TEXT
               : SystemErrorText(code);
}

// Six hexadecimal digits, different for every call in this process and unlikely to repeat
// in another.
std::wstring RandomDigits() {
    const unsigned mix = static_cast<unsigned>(GetTickCount64()) * 2654435761u ^
                         GetCurrentProcessId() * 40503u ^ g_temporaryCounter.fetch_add(1);
    wchar_t digits[16];
    swprintf(digits, 16, L"%06x", mix & 0xFFFFFFu);
    return digits;
}

bool Exists(const std::wstring& path) {
    return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

bool IsSeparator(wchar_t c) {
    return c == L'\\' || c == L'/';
}

// Opens an existing regular file for reading with share mode 0, so no other open of it
// succeeds meanwhile. INVALID_HANDLE_VALUE on failure, with the reason in `failure` and the
// system's code in `code`.
HANDLE OpenLocked(const std::wstring& path, std::string* failure, DWORD& code) {
    const HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                                    FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        code = GetLastError();
        SetFailure(failure, FailureOf(code));
        return file;
    }
    if (GetFileType(file) != FILE_TYPE_DISK) {
        CloseHandle(file);
        code = ERROR_INVALID_PARAMETER;
        SetFailure(failure, NOT_REGULAR_TEXT);
        return INVALID_HANDLE_VALUE;
    }
    code = 0;
    return file;
}

// Removes the temporary files that interrupted replacements of `name` left in `directory`
// (which ends in a separator, or is empty for the working directory). A writer still at work
// holds its file with share mode 0, so the delete fails on it and it stays.
void RemoveLeftovers(const std::wstring& directory, const std::wstring& name) {
    const std::wstring prefix = L"." + name + TEMPORARY_INFIX;
    WIN32_FIND_DATAW found{};
    const HANDLE search = FindFirstFileW((directory + prefix + L"*").c_str(), &found);
    if (search == INVALID_HANDLE_VALUE) {
        return;
    }
    do {
        const std::wstring entry = found.cFileName;
        if (entry.size() == prefix.size() + TEMPORARY_RANDOM && entry.rfind(prefix, 0) == 0 &&
            (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
            DeleteFileW((directory + entry).c_str());
        }
    } while (FindNextFileW(search, &found));
    FindClose(search);
}

class CLockedReader final : public IFileReader {
  public:
    explicit CLockedReader(HANDLE file) : file(file) {}
    ~CLockedReader() override { CloseHandle(file); }  // closing ends the lock

    long long Read(void* buffer, std::size_t size) override {
        DWORD got = 0;
        const DWORD asked = size > 0x7FFFFFFF ? 0x7FFFFFFF : static_cast<DWORD>(size);
        if (!ReadFile(file, buffer, asked, &got, nullptr)) {
            failure = SystemErrorText(GetLastError());
            return -1;
        }
        return got;
    }

    std::string FailureText() const override { return failure; }

  private:
    HANDLE file;
    std::string failure;
};

class CReplacementWriter final : public IFileWriter {
  public:
    CReplacementWriter(std::wstring target, std::wstring temporary, std::wstring backup,
                       HANDLE file)
        : target(std::move(target)),
          temporary(std::move(temporary)),
          backup(std::move(backup)),
          file(file) {}

    ~CReplacementWriter() override {
        if (file != INVALID_HANDLE_VALUE) {
            CloseHandle(file);
        }
        if (!committed) {
            DeleteFileW(temporary.c_str());
        }
    }

    bool Write(const void* data, std::size_t size) override {
        const char* bytes = static_cast<const char*>(data);
        while (failure.empty() && size > 0) {
            if (file == INVALID_HANDLE_VALUE) {
                Fail(ERROR_INVALID_HANDLE);
                break;
            }
            const DWORD chunk = size > 0x40000000 ? 0x40000000 : static_cast<DWORD>(size);
            DWORD moved = 0;
            if (!WriteFile(file, bytes, chunk, &moved, nullptr)) {
                Fail(GetLastError());
                break;
            }
            if (moved == 0) {
                Fail(ERROR_DISK_FULL);
                break;
            }
            bytes += moved;
            size -= moved;
        }
        return failure.empty();
    }

    bool Commit() override {
        if (!failure.empty() || committed || file == INVALID_HANDLE_VALUE) {
            return false;
        }
        if (!FlushFileBuffers(file)) {
            Fail(GetLastError());
            return false;
        }
        // ReplaceFileW opens the new file itself, which our share mode 0 would refuse.
        CloseHandle(file);
        file = INVALID_HANDLE_VALUE;
        if (Exists(target)) {
            return ReplaceTarget();
        }
        if (!MoveFileExW(temporary.c_str(), target.c_str(),
                         MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
            Fail(GetLastError());
            return false;
        }
        committed = true;
        return true;
    }

    std::string FailureText() const override { return failure; }

  private:
    // ReplaceFileW keeps the target's attributes and permissions. Given a backup name it
    // moves the old target there first; without one, a failure after that step
    // (ERROR_UNABLE_TO_MOVE_REPLACEMENT) leaves no target at all, and another
    // (ERROR_UNABLE_TO_MOVE_REPLACEMENT_2) leaves the old one under a name nobody knows.
    bool ReplaceTarget() {
        if (ReplaceFileW(target.c_str(), temporary.c_str(), backup.c_str(),
                         REPLACEFILE_IGNORE_MERGE_ERRORS, nullptr, nullptr)) {
            committed = true;
            DeleteFileW(backup.c_str());
            return true;
        }
        const DWORD code = GetLastError();
        if (!Exists(target) && Exists(backup) &&
            !MoveFileExW(backup.c_str(), target.c_str(), MOVEFILE_WRITE_THROUGH)) {
            // The old content is safe under the backup name; say where.
            failure = FailureOf(code) + " (the previous file is kept as " +
                      windows::Utf8FromWide(backup) + ")";
            return false;
        }
        Fail(code);
        return false;
    }

    void Fail(DWORD code) {
        if (failure.empty()) {
            failure = FailureOf(code);
        }
    }

    std::wstring target;
    std::wstring temporary;
    std::wstring backup;
    HANDLE file;
    std::string failure;  // empty until something failed
    bool committed = false;
};

}  // namespace

std::unique_ptr<IFileReader> OpenExclusive(const std::string& path, std::string* failure) {
    DWORD code = 0;
    const HANDLE file = OpenLocked(WideFromUtf8(path), failure, code);
    if (file == INVALID_HANDLE_VALUE) {
        return nullptr;
    }
    return std::make_unique<CLockedReader>(file);
}

std::unique_ptr<IFileWriter> CreateReplacement(const std::string& target, std::string* failure,
                                               bool* denied) {
    if (denied != nullptr) {
        *denied = false;
    }
    const std::wstring wideTarget = WideFromUtf8(target);
    if (wideTarget.empty() || IsSeparator(wideTarget.back())) {
        SetFailure(failure, SystemErrorText(ERROR_DIRECTORY));
        return nullptr;
    }
    const DWORD attributes = GetFileAttributesW(wideTarget.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES) {
        if (attributes & FILE_ATTRIBUTE_DIRECTORY) {
            SetFailure(failure, NOT_REGULAR_TEXT);
            return nullptr;
        }
        // An existing target another program holds stays untouched. It cannot be held on
        // to until the commit: ReplaceFileW needs to open it itself.
        DWORD code = 0;
        const HANDLE held = OpenLocked(wideTarget, failure, code);
        if (held == INVALID_HANDLE_VALUE) {
            if (code == ERROR_SHARING_VIOLATION || code == ERROR_LOCK_VIOLATION ||
                code == ERROR_INVALID_PARAMETER) {
                return nullptr;
            }
        } else {
            CloseHandle(held);
        }
    }
    size_t slash = wideTarget.find_last_of(L"\\/");
    if (slash == std::wstring::npos && wideTarget.size() >= 2 && wideTarget[1] == L':') {
        slash = 1;  // "C:name": the name after the drive
    }
    const std::wstring name =
        slash == std::wstring::npos ? wideTarget : wideTarget.substr(slash + 1);
    const std::wstring directory =
        slash == std::wstring::npos ? std::wstring() : wideTarget.substr(0, slash + 1);
    RemoveLeftovers(directory, name);

    for (int attempt = 0; attempt < TEMPORARY_ATTEMPTS; ++attempt) {
        const std::wstring digits = RandomDigits();
        const std::wstring temporary = directory + L"." + name + TEMPORARY_INFIX + digits;
        // Share mode 0 while it is written: other transfers' clean-up cannot delete it.
        const HANDLE file = CreateFileW(temporary.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                        FILE_ATTRIBUTE_NORMAL, nullptr);
        if (file != INVALID_HANDLE_VALUE) {
            const std::wstring backup = directory + L"." + name + BACKUP_INFIX + RandomDigits();
            return std::make_unique<CReplacementWriter>(wideTarget, temporary, backup, file);
        }
        const DWORD code = GetLastError();
        SetFailure(failure, FailureOf(code));
        if (denied != nullptr) {
            *denied = code == ERROR_ACCESS_DENIED;
        }
        if (code != ERROR_FILE_EXISTS && code != ERROR_ALREADY_EXISTS) {
            break;
        }
    }
    return nullptr;
}

bool TakeHandedStreams(int argc, char** argv, std::string* failure) {
    if (argc != 5 || std::string(argv[1]) != "--handed") {
        SetFailure(failure, "Takes --handed PID IMAGE REPORT from the program that starts it");
        return false;
    }
    const DWORD caller = std::strtoul(argv[2], nullptr, 10);
    const auto named = [](const char* text) {
        return reinterpret_cast<HANDLE>(static_cast<uintptr_t>(std::strtoull(text, nullptr, 16)));
    };
    const HANDLE process = OpenProcess(PROCESS_DUP_HANDLE, FALSE, caller);
    if (process == nullptr) {
        SetFailure(failure, SystemErrorText(GetLastError()));
        return false;
    }
    HANDLE image = nullptr;
    HANDLE report = nullptr;
    const HANDLE self = GetCurrentProcess();
    const bool taken =
        DuplicateHandle(process, named(argv[3]), self, &image, GENERIC_READ, FALSE, 0) &&
        DuplicateHandle(process, named(argv[4]), self, &report, GENERIC_WRITE, FALSE, 0);
    const DWORD code = GetLastError();
    CloseHandle(process);
    if (!taken) {
        if (image != nullptr) {
            CloseHandle(image);
        }
        SetFailure(failure, SystemErrorText(code));
        return false;
    }
    // The C runtime's stderr too, which the copier writes its reason to.
    SetStdHandle(STD_INPUT_HANDLE, image);
    SetStdHandle(STD_ERROR_HANDLE, report);
    const int reportFd = _open_osfhandle(reinterpret_cast<intptr_t>(report), _O_WRONLY | _O_BINARY);
    if (reportFd >= 0 && reportFd != 2) {
        _dup2(reportFd, 2);
    }
    return true;
}

std::unique_ptr<IFileReader> OpenHandedImage(long long limit, std::string* failure) {
    const HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
    BY_HANDLE_FILE_INFORMATION information{};
    if (input == nullptr || input == INVALID_HANDLE_VALUE) {
        SetFailure(failure, SystemErrorText(ERROR_INVALID_HANDLE));
        return nullptr;
    }
    if (GetFileType(input) != FILE_TYPE_DISK || !GetFileInformationByHandle(input, &information) ||
        (information.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
        SetFailure(failure, NOT_REGULAR_TEXT);
        return nullptr;
    }
    const long long size =
        (static_cast<long long>(information.nFileSizeHigh) << 32) | information.nFileSizeLow;
    if (size > limit) {
        SetFailure(failure, "Larger than " + std::to_string(limit) + " bytes");
        return nullptr;
    }
    LARGE_INTEGER start{};
    if (!SetFilePointerEx(input, start, nullptr, FILE_BEGIN)) {
        SetFailure(failure, SystemErrorText(GetLastError()));
        return nullptr;
    }
    return std::make_unique<CLockedReader>(input);
}

bool IsSafePrivilegedTarget(const std::string& target, std::string* failure) {
    // Only links are looked for here: the drivers folder's own permissions keep everyone but
    // administrators from changing it.
    const std::wstring wideTarget = WideFromUtf8(target);
    const size_t slash = wideTarget.find_last_of(L"\\/");
    const std::wstring folder = slash == std::wstring::npos ? L"." : wideTarget.substr(0, slash);
    const DWORD folderAttributes = GetFileAttributesW(folder.c_str());
    if (folderAttributes == INVALID_FILE_ATTRIBUTES) {
        SetFailure(failure, SystemErrorText(GetLastError()));
        return false;
    }
    if ((folderAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
        SetFailure(failure, SystemErrorText(ERROR_DIRECTORY));
        return false;
    }
    if ((folderAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
        SetFailure(failure, "Its folder is a symbolic link");
        return false;
    }
    const DWORD attributes = GetFileAttributesW(wideTarget.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        const DWORD code = GetLastError();
        if (code == ERROR_FILE_NOT_FOUND) {
            return true;
        }
        SetFailure(failure, SystemErrorText(code));
        return false;
    }
    if ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
        SetFailure(failure, "Is a symbolic link; not replaced");
        return false;
    }
    if ((attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
        SetFailure(failure, NOT_REGULAR_TEXT);
        return false;
    }
    return true;
}

}  // namespace platform
