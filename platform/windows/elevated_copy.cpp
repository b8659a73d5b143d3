// The elevated copier on Windows: ShellExecuteExW with the "runas" verb asks for consent (UAC)
// and starts palvex-copy-firmware elevated. An elevated process inherits no handle, so it takes
// over the image and a pipe for its reason from this process by their values (--handed). The
// wait runs on a thread of its own: the consent prompt can stay open for as long as the user
// likes, and the window must not wait with it.
#include "platform/elevated_copy.h"

#include "platform/windows/win_api.h"

#include <objbase.h>
#include <shellapi.h>

#include <QMetaObject>
#include <cstdio>
#include <mutex>
#include <thread>

#include "platform/platform.h"
#include "platform/windows/win_text.h"

namespace platform {

using windows::SystemErrorText;
using windows::WideFromUtf8;

struct CElevatedCopy::State {
    std::mutex mutex;
    bool abandoned = false;  // the object is gone: nobody to tell
    HANDLE image = INVALID_HANDLE_VALUE;
    HANDLE reportRead = nullptr;
    HANDLE reportWrite = nullptr;
    ~State() {
        for (HANDLE handle : {image, reportRead, reportWrite}) {
            if (handle != nullptr && handle != INVALID_HANDLE_VALUE) {
                CloseHandle(handle);
            }
        }
    }
};

namespace {

std::wstring HandleText(HANDLE handle) {
    wchar_t text[32];
    swprintf(text, 32, L"%llx",
             static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(handle)));
    return text;
}

// What the copier wrote to its report pipe: the last line.
std::string ReadReport(HANDLE pipe) {
    std::string text;
    DWORD available = 0;
    while (PeekNamedPipe(pipe, nullptr, 0, nullptr, &available, nullptr) && available > 0) {
        char buffer[512];
        DWORD got = 0;
        if (!ReadFile(pipe, buffer, available < sizeof buffer ? available : sizeof buffer, &got,
                      nullptr) ||
            got == 0) {
            break;
        }
        text.append(buffer, got);
    }
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) {
        text.pop_back();
    }
    const std::size_t lineStart = text.find_last_of('\n');
    return lineStart == std::string::npos ? text : text.substr(lineStart + 1);
}

ElevatedCopyOutcome RunElevated(const std::string& copier, CElevatedCopy::State& state) {
    ElevatedCopyOutcome outcome;
    const std::wstring program = WideFromUtf8(copier);
    const std::wstring arguments = L"--handed " + std::to_wstring(GetCurrentProcessId()) + L" " +
                                   HandleText(state.image) + L" " + HandleText(state.reportWrite);
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
    if (info.hProcess != nullptr) {
        WaitForSingleObject(info.hProcess, INFINITE);
        DWORD exitCode = 0;
        outcome.exitCode =
            GetExitCodeProcess(info.hProcess, &exitCode) ? static_cast<int>(exitCode) : -1;
        CloseHandle(info.hProcess);
    }
    outcome.said = ReadReport(state.reportRead);
    return outcome;
}

}  // namespace

CElevatedCopy::CElevatedCopy(QObject* parent, const std::vector<std::string>& command,
                             const std::string& image,
                             std::function<void(const ElevatedCopyOutcome&)> done)
    : QObject(parent), state(std::make_shared<State>()) {
    // Opened here, not handed by name: the copier reads what this process opened.
    state->image = CreateFileW(WideFromUtf8(image).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                               OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    const DWORD openCode = state->image == INVALID_HANDLE_VALUE ? GetLastError() : 0;
    const bool piped = CreatePipe(&state->reportRead, &state->reportWrite, nullptr, 4096) != FALSE;
    CElevatedCopy* const owner = this;
    std::shared_ptr<State> shared = state;
    const std::string copier = command.empty() ? std::string() : command.back();
    std::thread([shared, copier, openCode, piped, owner, done = std::move(done)] {
        ElevatedCopyOutcome outcome;
        if (openCode != 0) {
            outcome.started = true;
            outcome.exitCode = 1;  // the image was refused, as the copier would have
            outcome.said = SystemErrorText(openCode);
        } else if (!piped) {
            outcome.said = SystemErrorText(GetLastError());
        } else {
            outcome = RunElevated(copier, *shared);
        }
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
    // The consent prompt cannot be withdrawn from here, nor an elevated copier ended: the
    // thread waiting for them just tells nobody.
    std::lock_guard<std::mutex> hold(state->mutex);
    state->abandoned = true;
}

std::string CopyByHandText(const std::string& image, const std::string& target) {
    return "To copy it by hand, in a command prompt started with \"Run as administrator\": "
           "copy /Y \"" +
           image + "\" \"" + target + "\"";
}

}  // namespace platform
