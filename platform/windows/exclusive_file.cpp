// Exclusive reads and whole-file replacement on Windows: share mode 0 for the lock, a
// temporary file beside the target, FlushFileBuffers, then ReplaceFileW or MoveFileExW.
#include "platform/exclusive_file.h"

#include "platform/windows/win_api.h"

#include <fcntl.h>
#include <io.h>
#include <winternl.h>

#include <algorithm>
#include <atomic>
#include <climits>
#include <cstdlib>
#include <cwchar>
#include <string>
#include <utility>
#include <vector>

#include "platform/windows/win_handover.h"
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

// The image as the caller streams it: exactly the length it announced, or a failure.
class CHandedReader final : public IFileReader {
  public:
    CHandedReader(HANDLE pipe, long long count) : pipe(pipe), count(count), left(count) {}
    ~CHandedReader() override = default;  // the pipe stays the process's error output

    long long Read(void* buffer, std::size_t size) override {
        if (left == 0) {
            return 0;
        }
        const DWORD asked = static_cast<DWORD>(std::min<unsigned long long>(
            {size, static_cast<unsigned long long>(left), 0x10000000}));
        DWORD got = 0;
        if (!ReadFile(pipe, buffer, asked, &got, nullptr) || got == 0) {
            failure = "The image ended after " + std::to_string(count - left) + " of " +
                      std::to_string(count) + " bytes";
            return -1;
        }
        left -= got;
        return got;
    }

    std::string FailureText() const override { return failure; }

  private:
    HANDLE pipe;
    long long count;
    long long left;
    std::string failure;
};

// Whether `caller` started this process and was created no later than it (a process number
// can outlive its process and belong to another by now). Read from the system's process list,
// which needs no access to the caller: the copier may run as another account, which cannot
// open the caller's process.
bool StartedBy(DWORD caller) {
    constexpr NTSTATUS LENGTH_MISMATCH = static_cast<NTSTATUS>(0xC0000004L);
    std::vector<unsigned char> list(256 * 1024);
    ULONG needed = 0;
    NTSTATUS status = 0;
    while ((status = NtQuerySystemInformation(SystemProcessInformation, list.data(),
                                              static_cast<ULONG>(list.size()), &needed)) ==
           LENGTH_MISMATCH) {
        list.resize(needed + 64 * 1024);
    }
    if (!NT_SUCCESS(status)) {
        return false;
    }
    const auto number = [](HANDLE id) {
        return static_cast<DWORD>(reinterpret_cast<uintptr_t>(id));
    };
    const SYSTEM_PROCESS_INFORMATION* own = nullptr;
    const SYSTEM_PROCESS_INFORMATION* parent = nullptr;
    for (std::size_t offset = 0;;) {
        const auto* entry =
            reinterpret_cast<const SYSTEM_PROCESS_INFORMATION*>(list.data() + offset);
        if (number(entry->UniqueProcessId) == GetCurrentProcessId()) {
            own = entry;
        } else if (number(entry->UniqueProcessId) == caller) {
            parent = entry;
        }
        if (entry->NextEntryOffset == 0) {
            break;
        }
        offset += entry->NextEntryOffset;
    }
    return own != nullptr && parent != nullptr &&
           number(own->InheritedFromUniqueProcessId) == caller &&
           parent->CreateTime.QuadPart <= own->CreateTime.QuadPart;
}

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
    const auto refuse = [failure](std::string text) {
        SetFailure(failure, std::move(text));
        return false;
    };
    const std::wstring prefix = windows::HANDOVER_PIPE_PREFIX;
    const std::wstring pipeName = argc == 4 ? WideFromUtf8(argv[3]) : std::wstring();
    char* end = nullptr;
    const unsigned long caller = argc == 4 ? std::strtoul(argv[2], &end, 10) : 0;
    // Never a path the caller chose: only a pipe of the handover's own name.
    if (argc != 4 || std::string(argv[1]) != "--from" || end == argv[2] || *end != '\0' ||
        caller == 0 || pipeName.rfind(prefix, 0) != 0 ||
        pipeName.find_first_of(L"\\/", prefix.size()) != std::wstring::npos) {
        return refuse("Takes --from PID PIPE from the program that starts it");
    }
    // The process that started this one is the only one it takes anything from.
    if (!StartedBy(caller)) {
        return refuse("Process " + std::string(argv[2]) +
                      " did not start this copier; nothing was taken");
    }
    // Identification only: the pipe's server learns who connected but cannot act as this
    // process.
    const HANDLE pipe =
        CreateFileW(pipeName.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                    SECURITY_SQOS_PRESENT | SECURITY_IDENTIFICATION, nullptr);
    if (pipe == INVALID_HANDLE_VALUE) {
        return refuse(std::string(argv[3]) + ": " + SystemErrorText(GetLastError()));
    }
    ULONG server = 0;
    if (GetFileType(pipe) != FILE_TYPE_PIPE || !GetNamedPipeServerProcessId(pipe, &server) ||
        server != caller) {
        CloseHandle(pipe);
        return refuse(std::string(argv[3]) + " is not process " + argv[2] +
                      "'s; nothing was taken");
    }
    // The image comes in and the reason goes out on the same pipe; the C runtime's stderr
    // too, which the copier writes its reason to.
    SetStdHandle(STD_INPUT_HANDLE, pipe);
    SetStdHandle(STD_ERROR_HANDLE, pipe);
    const int reportFd = _open_osfhandle(reinterpret_cast<intptr_t>(pipe), _O_WRONLY | _O_BINARY);
    if (reportFd >= 0 && reportFd != 2) {
        _dup2(reportFd, 2);
    }
    return true;
}

std::unique_ptr<IFileReader> OpenHandedImage(long long limit, std::string* failure) {
    const HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
    if (input == nullptr || input == INVALID_HANDLE_VALUE || GetFileType(input) != FILE_TYPE_PIPE) {
        SetFailure(failure, SystemErrorText(ERROR_INVALID_HANDLE));
        return nullptr;
    }
    unsigned char header[windows::HANDOVER_HEADER_SIZE];
    DWORD have = 0;
    while (have < sizeof header) {
        DWORD got = 0;
        if (!ReadFile(input, header + have, sizeof header - have, &got, nullptr) || got == 0) {
            SetFailure(failure, "The image's length never came");
            return nullptr;
        }
        have += got;
    }
    unsigned long long count = 0;
    for (unsigned i = sizeof header; i > 0; --i) {
        count = count << 8 | header[i - 1];
    }
    if (count == 0) {
        SetFailure(failure, EMPTY_IMAGE_TEXT);
        return nullptr;
    }
    if (count > static_cast<unsigned long long>(limit)) {
        SetFailure(failure, "Larger than " + std::to_string(limit) + " bytes");
        return nullptr;
    }
    return std::make_unique<CHandedReader>(input, static_cast<long long>(count));
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
