// The elevated copier on Windows: ShellExecuteExW with the "runas" verb asks for consent (UAC)
// and starts palvex-copy-firmware elevated, perhaps as the administrator who typed their
// credentials into the prompt. That process inherits nothing and may not be able to open this
// one, so this process reads the image with its own user's rights and streams it through a
// named pipe that only this user, administrators and the system may open; the copier's
// one-line reason comes back the same way. Only a copier no standard user could change is ever
// started so. The work runs on a thread of its own: the consent prompt can stay open as long as
// the user likes, and every wait after it is bounded and ends when the copier or the object does.
#include "platform/elevated_copy.h"

#include "platform/windows/win_api.h"

#include <objbase.h>
#include <sddl.h>
#include <shellapi.h>

#include <QMetaObject>
#include <algorithm>
#include <cstdio>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/exclusive_file.h"
#include "platform/platform.h"
#include "platform/windows/win_elevation.h"
#include "platform/windows/win_handover.h"
#include "platform/windows/win_overlapped.h"
#include "platform/windows/win_text.h"

namespace platform {

using windows::SystemErrorText;
using windows::WideFromUtf8;

struct CElevatedCopy::State {
    std::mutex mutex;
    bool abandoned = false;  // the object is gone: nobody to tell
    // Set when the object goes: whatever the thread waits for after the prompt, it stops.
    HANDLE gone = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    ~State() {
        if (gone != nullptr) {
            CloseHandle(gone);
        }
    }
};

namespace {

// A copier that makes no progress for this long has failed.
constexpr DWORD STEP_BOUND_MS = 30000;
constexpr DWORD PIECE = 64 * 1024;
// The image was refused, as the copier would have refused it.
constexpr int IMAGE_REFUSED = 1;

class CHandle {
  public:
    explicit CHandle(HANDLE handle = nullptr) : handle(handle) {}
    ~CHandle() {
        if (handle != nullptr && handle != INVALID_HANDLE_VALUE) {
            CloseHandle(handle);
        }
    }
    CHandle(const CHandle&) = delete;
    CHandle& operator=(const CHandle&) = delete;
    HANDLE get() const { return handle; }
    bool valid() const { return handle != nullptr && handle != INVALID_HANDLE_VALUE; }

  private:
    HANDLE handle;
};

// The pipe, named "palvex-firmware-<pid>-<random>" so no other program can guess it and be
// there first; only this user, administrators (the copier, whoever's credentials started it)
// and the system may open it, and only from this machine.
HANDLE CreateHandoverPipe(std::wstring& name) {
    GUID random{};
    HANDLE token = nullptr;
    std::vector<unsigned char> user(512);
    DWORD size = 0;
    wchar_t* sid = nullptr;
    const bool known =
        SUCCEEDED(CoCreateGuid(&random)) &&
        OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token) &&
        GetTokenInformation(token, TokenUser, user.data(), static_cast<DWORD>(user.size()),
                            &size) &&
        ConvertSidToStringSidW(reinterpret_cast<TOKEN_USER*>(user.data())->User.Sid, &sid);
    const DWORD error = known ? 0 : GetLastError();
    if (token != nullptr) {
        CloseHandle(token);
    }
    if (!known) {
        SetLastError(error);
        return INVALID_HANDLE_VALUE;
    }
    wchar_t digits[40];
    swprintf(digits, 40, L"%08lx%04x%04x%02x%02x%02x%02x%02x%02x%02x%02x", random.Data1,
             random.Data2, random.Data3, random.Data4[0], random.Data4[1], random.Data4[2],
             random.Data4[3], random.Data4[4], random.Data4[5], random.Data4[6], random.Data4[7]);
    name = windows::HANDOVER_PIPE_PREFIX + std::to_wstring(GetCurrentProcessId()) + L"-" + digits;
    const std::wstring rules = L"D:P(A;;GA;;;SY)(A;;GA;;;BA)(A;;GA;;;" + std::wstring(sid) + L")";
    LocalFree(sid);
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(rules.c_str(), SDDL_REVISION_1,
                                                              &descriptor, nullptr)) {
        return INVALID_HANDLE_VALUE;
    }
    SECURITY_ATTRIBUTES attributes{sizeof attributes, descriptor, FALSE};
    const HANDLE pipe = CreateNamedPipeW(
        name.c_str(), PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED | FILE_FLAG_FIRST_PIPE_INSTANCE,
        PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT | PIPE_REJECT_REMOTE_CLIENTS, 1, PIECE,
        PIECE, 0, &attributes);
    const DWORD created = GetLastError();
    LocalFree(descriptor);
    SetLastError(created);
    return pipe;
}

// Finishes an overlapped operation on `pipe` that `begun` says has started: true once it is
// done; false, the operation cancelled, when it failed or one of `stops` (the copier's end,
// the object's) or the bound came first, with the system's code in `error`.
bool Finish(HANDLE pipe, windows::COverlapped& io, BOOL begun, std::initializer_list<HANDLE> stops,
            DWORD& moved, DWORD& error) {
    moved = 0;
    error = begun ? 0 : GetLastError();
    if (!begun && error != ERROR_IO_PENDING) {
        return error == ERROR_PIPE_CONNECTED;  // the copier was there before the wait
    }
    HANDLE waits[3] = {io.Get()->hEvent};
    DWORD count = 1;
    for (const HANDLE stop : stops) {
        waits[count++] = stop;
    }
    const DWORD which = WaitForMultipleObjects(count, waits, FALSE, STEP_BOUND_MS);
    if (which != WAIT_OBJECT_0) {
        CancelIoEx(pipe, io.Get());
    }
    // Waits for a cancelled operation to let go of its record.
    if (GetOverlappedResult(pipe, io.Get(), &moved, TRUE)) {
        error = 0;
        return true;
    }
    error = which == WAIT_TIMEOUT ? ERROR_TIMEOUT : GetLastError();
    return false;
}

// Sends the image's length and bytes to the copier that connects to `pipe`; empty when all
// went, or when the copier stopped taking them (its reason follows on the pipe), else what
// went wrong.
std::string Hand(HANDLE pipe, HANDLE image, unsigned long long size, HANDLE copier, HANDLE gone) {
    windows::COverlapped io;
    DWORD moved = 0;
    DWORD error = 0;
    if (!io.Valid() ||
        !Finish(pipe, io, ConnectNamedPipe(pipe, io.Get()), {copier, gone}, moved, error)) {
        return WaitForSingleObject(copier, 0) == WAIT_OBJECT_0
                   ? "The copier ended before it took the image"
                   : "The copier never took the image: " + SystemErrorText(error);
    }
    ULONG client = 0;
    if (!GetNamedPipeClientProcessId(pipe, &client) || client != GetProcessId(copier)) {
        return "Another program than the copier opened the handover pipe";
    }
    std::vector<char> piece(PIECE);
    DWORD length = windows::HANDOVER_HEADER_SIZE;
    for (unsigned i = 0; i < length; ++i) {
        piece[i] = static_cast<char>(size >> (8 * i));
    }
    for (unsigned long long sent = 0;;) {
        for (DWORD done = 0; done < length; done += moved) {
            if (!Finish(pipe, io,
                        WriteFile(pipe, piece.data() + done, length - done, nullptr, io.Get()),
                        {copier, gone}, moved, error)) {
                // A copier that refused the image has closed its end; its reason is waiting.
                return error == ERROR_NO_DATA || error == ERROR_BROKEN_PIPE ||
                               WaitForSingleObject(copier, 0) == WAIT_OBJECT_0
                           ? std::string()
                           : SystemErrorText(error);
            }
        }
        if (sent == size) {
            return {};
        }
        const DWORD asked = static_cast<DWORD>(std::min<unsigned long long>(PIECE, size - sent));
        if (!ReadFile(image, piece.data(), asked, &length, nullptr) || length == 0) {
            // The copier, short of the length it was told, refuses once the pipe closes.
            return "The image ended after " + std::to_string(sent) + " of " + std::to_string(size) +
                   " bytes";
        }
        sent += length;
    }
}

// The last line the copier wrote to `pipe` before it closed its end.
std::string Reply(HANDLE pipe, HANDLE gone) {
    windows::COverlapped io;
    std::string text;
    char buffer[512];
    DWORD moved = 0;
    DWORD error = 0;
    while (io.Valid() && text.size() < 4096 &&
           Finish(pipe, io, ReadFile(pipe, buffer, sizeof buffer, nullptr, io.Get()), {gone}, moved,
                  error) &&
           moved > 0) {
        text.append(buffer, moved);
    }
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) {
        text.pop_back();
    }
    const std::size_t lineStart = text.find_last_of('\n');
    return lineStart == std::string::npos ? text : text.substr(lineStart + 1);
}

ElevatedCopyOutcome RunElevated(const std::string& copier, const std::string& imagePath,
                                CElevatedCopy::State& state) {
    ElevatedCopyOutcome outcome;
    // Read with this user's rights: the copier never opens a path the user chose. Held
    // without write sharing, so its length stays what is announced.
    const CHandle image(CreateFileW(WideFromUtf8(imagePath).c_str(), GENERIC_READ, FILE_SHARE_READ,
                                    nullptr, OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
    LARGE_INTEGER size{};
    const DWORD openCode = image.valid() ? 0 : GetLastError();
    const bool regular = openCode == 0 && GetFileType(image.get()) == FILE_TYPE_DISK;
    const DWORD sizeCode = !regular || GetFileSizeEx(image.get(), &size) ? 0 : GetLastError();
    if (!regular || sizeCode != 0 || size.QuadPart == 0) {
        outcome.started = true;
        outcome.exitCode = IMAGE_REFUSED;
        outcome.said = openCode != 0   ? SystemErrorText(openCode)
                       : !regular      ? "Not a regular file"
                       : sizeCode != 0 ? SystemErrorText(sizeCode)
                                       : EMPTY_IMAGE_TEXT;
        return outcome;
    }
    const std::string untrusted = windows::StandardUserCanChange(copier);
    if (!untrusted.empty()) {
        outcome.said = untrusted + ", so it is not run as administrator. " +
                       windows::RunAsAdministratorAdvice();
        return outcome;
    }
    std::wstring pipeName;
    const CHandle pipe(CreateHandoverPipe(pipeName));
    if (!pipe.valid()) {
        outcome.said = SystemErrorText(GetLastError());
        return outcome;
    }
    const std::wstring program = WideFromUtf8(copier);
    const std::wstring arguments =
        L"--from " + std::to_wstring(GetCurrentProcessId()) + L" " + pipeName;
    // ShellExecuteExW may hand the start to COM: this thread needs COM of its own.
    const HRESULT com = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED | COINIT_DISABLE_OLE1DDE);
    SHELLEXECUTEINFOW info{};
    info.cbSize = sizeof info;
    info.fMask = SEE_MASK_NOCLOSEPROCESS | SEE_MASK_NOASYNC | SEE_MASK_FLAG_NO_UI;
    info.lpVerb = L"runas";
    info.lpFile = program.c_str();
    info.lpParameters = arguments.c_str();
    info.nShow = SW_HIDE;
    const bool started = ShellExecuteExW(&info) != FALSE;
    const DWORD code = started ? 0 : GetLastError();
    if (SUCCEEDED(com)) {
        CoUninitialize();
    }
    if (!started) {
        if (code == ERROR_CANCELLED) {  // the user said no to the consent prompt
            outcome.started = true;
            outcome.exitCode = ELEVATION_DISMISSED;
        } else {
            outcome.said = SystemErrorText(code);
        }
        return outcome;
    }
    outcome.started = true;
    const CHandle process(info.hProcess);
    if (!process.valid()) {
        outcome.said = "The copier started, but its end cannot be awaited";
        return outcome;
    }
    const std::string problem =
        Hand(pipe.get(), image.get(), static_cast<unsigned long long>(size.QuadPart), process.get(),
             state.gone);
    outcome.said = problem.empty() ? Reply(pipe.get(), state.gone) : problem;
    DisconnectNamedPipe(pipe.get());  // a copier still waiting for bytes sees the end
    const HANDLE waits[2] = {process.get(), state.gone};
    DWORD exitCode = 0;
    if (WaitForMultipleObjects(2, waits, FALSE, STEP_BOUND_MS) != WAIT_OBJECT_0 ||
        !GetExitCodeProcess(process.get(), &exitCode)) {
        outcome.said = "The copier did not end";
        return outcome;
    }
    outcome.exitCode = static_cast<int>(exitCode);
    return outcome;
}

}  // namespace

CElevatedCopy::CElevatedCopy(QObject* parent, const std::vector<std::string>& command,
                             const std::string& image,
                             std::function<void(const ElevatedCopyOutcome&)> done)
    : QObject(parent), state(std::make_shared<State>()) {
    CElevatedCopy* const owner = this;
    std::shared_ptr<State> shared = state;
    const std::string copier = command.empty() ? std::string() : command.back();
    std::thread([shared, copier, image, owner, done = std::move(done)] {
        const ElevatedCopyOutcome outcome = RunElevated(copier, image, *shared);
        std::lock_guard<std::mutex> hold(shared->mutex);
        if (!shared->abandoned) {
            // Posted while the object cannot be destroyed (its destructor takes the lock);
            // Qt drops the call if the object is destroyed before it runs.
            QMetaObject::invokeMethod(
                owner,
                [shared, outcome, done] {
                    if (!shared->abandoned) {
                        done(outcome);
                    }
                },
                Qt::QueuedConnection);
        }
    }).detach();
}

CElevatedCopy::~CElevatedCopy() {
    // The consent prompt cannot be withdrawn from here, nor an elevated copier ended; the
    // thread stops waiting for it and closes the pipe, so a copier still reading ends too.
    std::lock_guard<std::mutex> hold(state->mutex);
    state->abandoned = true;
    SetEvent(state->gone);
}

std::string CopyByHandText(const std::string& image, const std::string& target) {
    // Inside double quotes cmd still expands %NAME% (and !NAME! where delayed expansion is on),
    // and an interactive prompt has no escape for either there; a path with them, or with a
    // character no file name may hold, gets no command to paste.
    for (const std::string* path : {&image, &target}) {
        for (const char c : *path) {
            if (c == '%' || c == '!' || c == '"' || static_cast<unsigned char>(c) < 0x20) {
                return "To copy it by hand, an administrator copies " + image +
                       " with Explorer to " + target +
                       " (a command prompt would change the name, so none is given).";
            }
        }
    }
    return "To copy it by hand, in a command prompt started with \"Run as administrator\": "
           "copy /Y \"" +
           image + "\" \"" + target + "\"";
}

}  // namespace platform
