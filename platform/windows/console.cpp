// A window program has no console of its own: it borrows the one of the command prompt that
// started it, if any, so that "palvex --help" answers there.
#include "platform/console.h"

#include <cstdio>

#include "platform/windows/win_api.h"
#include "platform/windows/win_text.h"

namespace platform {

namespace {

// True when the stream was handed a file, a pipe or the NUL device ("palvex --help > help.txt"):
// the C runtime already writes there, and the console must not take its place.
bool Redirected(DWORD which) {
    const HANDLE handle = GetStdHandle(which);
    if (handle == nullptr || handle == INVALID_HANDLE_VALUE) {
        return false;
    }
    const DWORD type = GetFileType(handle);
    DWORD mode = 0;
    return type == FILE_TYPE_DISK || type == FILE_TYPE_PIPE ||
           (type == FILE_TYPE_CHAR && !GetConsoleMode(handle, &mode));
}

}  // namespace

void UseStartingConsole() {
    // Asked before attaching, which gives the process the console's handles.
    const bool outRedirected = Redirected(STD_OUTPUT_HANDLE);
    const bool errRedirected = Redirected(STD_ERROR_HANDLE);
    if (outRedirected && errRedirected) {
        return;
    }
    if (AttachConsole(ATTACH_PARENT_PROCESS)) {
        if (!outRedirected) {
            std::freopen("CONOUT$", "w", stdout);
        }
        if (!errRedirected) {
            std::freopen("CONOUT$", "w", stderr);
        }
    }
}

namespace {

std::atomic<int>* interruptFlag = nullptr;

// Runs on a thread the system starts for it. Close, log-off and shut-down end the process
// when this returns whatever it answers, so those only raise the flag as well.
BOOL WINAPI OnConsoleControl(DWORD event) {
    if (interruptFlag->exchange(1) != 0 && event == CTRL_C_EVENT) {
        return FALSE;  // the second Ctrl+C: the default, which ends the program
    }
    return TRUE;
}

}  // namespace

void CatchInterrupts(std::atomic<int>& flag) {
    interruptFlag = &flag;
    SetConsoleCtrlHandler(OnConsoleControl, TRUE);
}

std::string HostName() {
    wchar_t name[256] = {};
    DWORD length = 256;
    return GetComputerNameExW(ComputerNameDnsHostname, name, &length) ? windows::Utf8FromWide(name)
                                                                      : "";
}

}  // namespace platform
