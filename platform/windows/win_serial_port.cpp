// The Win32 comm API behind the serial port interface.
#include "platform/windows/win_serial_port.h"

#include "platform/windows/win_api.h"

#include <algorithm>
#include <chrono>
#include <memory>

#include "platform/serial_pacing.h"
#include "platform/windows/win_overlapped.h"
#include "platform/windows/win_text.h"

namespace platform::windows {

namespace {

using Clock = std::chrono::steady_clock;
using Milliseconds = std::chrono::milliseconds;

// How often the input queue is looked at where the driver cannot wait for line events.
constexpr DWORD QUEUE_CHECK_MS = 10;

// How long a finished wait for line events may take to signal its event: at once on Windows,
// one server call later under Wine.
constexpr DWORD WAIT_RELEASE_MS = 2000;

// One wait for line events: the record and the word the system writes the events to.
struct CommWait {
    COverlapped overlapped;
    DWORD events = 0;
};

// ERROR_NO_SUCH_DEVICE, which MinGW's headers lack.
constexpr DWORD NO_SUCH_DEVICE_CODE = 433;

thread_local DWORD t_lastError = 0;

int Fail(DWORD code) {
    t_lastError = code;
    return 0;
}

// The codes an open port answers with once its device has gone: USB serial adapters'
// drivers after an unplug (which code depends on the driver and on the call that meets the
// removal first), and ERROR_NOT_READY where Wine meets a hung-up terminal.
bool DeviceGoneCode(DWORD code) {
    switch (code) {
        case ERROR_DEVICE_REMOVED:
        case ERROR_DEVICE_NOT_CONNECTED:
        case ERROR_DEV_NOT_EXIST:
        case NO_SUCH_DEVICE_CODE:
        case ERROR_FILE_NOT_FOUND:
        case ERROR_INVALID_HANDLE:
        case ERROR_ACCESS_DENIED:
        case ERROR_BAD_COMMAND:
        case ERROR_OPERATION_ABORTED:
        case ERROR_GEN_FAILURE:
        case ERROR_NOT_READY:
            return true;
        default:
            return false;
    }
}

void ToDcb(const SerialLineState& state, DCB& dcb) {
    dcb.BaudRate = state.baudRate;
    dcb.ByteSize = state.byteSize;
    dcb.Parity = state.parity;
    dcb.StopBits = state.stopBits;
    dcb.fBinary = state.fBinary;
    dcb.fParity = state.fParity;
    dcb.fOutxCtsFlow = state.fOutxCtsFlow;
    dcb.fOutxDsrFlow = state.fOutxDsrFlow;
    dcb.fDtrControl = state.fDtrControl;
    dcb.fDsrSensitivity = state.fDsrSensitivity;
    dcb.fTXContinueOnXoff = state.fTXContinueOnXoff;
    dcb.fOutX = state.fOutX;
    dcb.fInX = state.fInX;
    dcb.fErrorChar = state.fErrorChar;
    dcb.fNull = state.fNull;
    dcb.fRtsControl = state.fRtsControl;
    dcb.fAbortOnError = state.fAbortOnError;
    dcb.XonChar = state.xonChar;
    dcb.XoffChar = state.xoffChar;
}

void FromDcb(const DCB& dcb, SerialLineState& state) {
    state.baudRate = dcb.BaudRate;
    state.byteSize = dcb.ByteSize;
    state.parity = dcb.Parity;
    state.stopBits = dcb.StopBits;
    state.fBinary = dcb.fBinary;
    state.fParity = dcb.fParity;
    state.fOutxCtsFlow = dcb.fOutxCtsFlow;
    state.fOutxDsrFlow = dcb.fOutxDsrFlow;
    state.fDtrControl = static_cast<uint8_t>(dcb.fDtrControl);
    state.fDsrSensitivity = dcb.fDsrSensitivity;
    state.fTXContinueOnXoff = dcb.fTXContinueOnXoff;
    state.fOutX = dcb.fOutX;
    state.fInX = dcb.fInX;
    state.fErrorChar = dcb.fErrorChar;
    state.fNull = dcb.fNull;
    state.fRtsControl = static_cast<uint8_t>(dcb.fRtsControl);
    state.fAbortOnError = dcb.fAbortOnError;
    state.xonChar = dcb.XonChar;
    state.xoffChar = dcb.XoffChar;
}

}  // namespace

CWinSerialPort::~CWinSerialPort() {
    Close();
}

int CWinSerialPort::FailOnPort(unsigned long error) {
    if (DeviceGoneCode(error)) {
        gone.store(true);
    }
    return Fail(error);
}

int CWinSerialPort::FinishTransfer(BOOL started, COverlapped& operation, uint32_t& moved) {
    if (!started && GetLastError() != ERROR_IO_PENDING) {
        return FailOnPort(GetLastError());
    }
    // The comm timeouts bound the wait, so it never lasts for ever unless the caller asked
    // for that.
    DWORD got = 0;
    const BOOL done = GetOverlappedResult(Native(handle), operation.Get(), &got, TRUE);
    const DWORD error = done ? ERROR_SUCCESS : GetLastError();
    moved = got;
    return done || error == ERROR_SEM_TIMEOUT ? 1 : FailOnPort(error);
}

int CWinSerialPort::Open(const std::string& portName) {
    if (handle != nullptr) {
        return Fail(ERROR_BUSY);
    }
    if (portName.empty()) {
        return Fail(ERROR_FILE_NOT_FOUND);
    }
    const std::string path = portName.rfind("\\\\", 0) == 0 ? portName : "\\\\.\\" + portName;
    // Share mode 0: nobody else may open the port while it is ours. Overlapped, so that a
    // read waiting on the worker thread never holds up a write from the window.
    const HANDLE port =
        CreateFileW(WideFromUtf8(path).c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                    OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OVERLAPPED, nullptr);
    if (port == INVALID_HANDLE_VALUE) {
        return Fail(GetLastError());
    }
    // A regular file or a pipe under a port's name would answer none of the comm calls.
    DCB probe{};
    probe.DCBlength = sizeof probe;
    if (!GetCommState(port, &probe)) {
        const DWORD error = GetLastError();
        CloseHandle(port);
        return Fail(error);
    }
    handle = port;
    gone.store(false);
    eventMask.store(0);
    commEventsFail.store(false);
    baudRate = probe.BaudRate;
    COMMTIMEOUTS current{};
    if (GetCommTimeouts(port, &current)) {
        timeouts = {current.ReadIntervalTimeout, current.ReadTotalTimeoutMultiplier,
                    current.ReadTotalTimeoutConstant, current.WriteTotalTimeoutMultiplier,
                    current.WriteTotalTimeoutConstant};
    }
    return 1;
}

int CWinSerialPort::SetQueueSizes(uint32_t inputBytes, uint32_t outputBytes) {
    if (handle == nullptr) {
        return Fail(ERROR_INVALID_HANDLE);
    }
    return SetupComm(Native(handle), inputBytes, outputBytes) ? 1 : FailOnPort(GetLastError());
}

int CWinSerialPort::GetLineState(SerialLineState& state) {
    if (handle == nullptr) {
        return Fail(ERROR_INVALID_HANDLE);
    }
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    if (!GetCommState(Native(handle), &dcb)) {
        return FailOnPort(GetLastError());
    }
    FromDcb(dcb, state);
    return 1;
}

int CWinSerialPort::SetLineState(const SerialLineState& state) {
    if (handle == nullptr) {
        return Fail(ERROR_INVALID_HANDLE);
    }
    if (state.baudRate == 0) {
        return Fail(ERROR_INVALID_PARAMETER);
    }
    // Fields the state does not carry (queue limits, the error and end characters) keep what
    // the driver has.
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    if (!GetCommState(Native(handle), &dcb)) {
        return FailOnPort(GetLastError());
    }
    ToDcb(state, dcb);
    if (!SetCommState(Native(handle), &dcb)) {
        return FailOnPort(GetLastError());
    }
    baudRate = state.baudRate;
    return 1;
}

int CWinSerialPort::SetEventMask(uint32_t mask) {
    if (handle == nullptr) {
        return Fail(ERROR_INVALID_HANDLE);
    }
    if (!SetCommMask(Native(handle), mask)) {
        return FailOnPort(GetLastError());
    }
    eventMask.store(mask);
    return 1;
}

int CWinSerialPort::GetTimeouts(SerialTimeouts& result) {
    if (handle == nullptr) {
        return Fail(ERROR_INVALID_HANDLE);
    }
    COMMTIMEOUTS native{};
    if (!GetCommTimeouts(Native(handle), &native)) {
        return FailOnPort(GetLastError());
    }
    result.readInterval = native.ReadIntervalTimeout;
    result.readTotalMultiplier = native.ReadTotalTimeoutMultiplier;
    result.readTotalConstant = native.ReadTotalTimeoutConstant;
    result.writeTotalMultiplier = native.WriteTotalTimeoutMultiplier;
    result.writeTotalConstant = native.WriteTotalTimeoutConstant;
    return 1;
}

int CWinSerialPort::SetTimeouts(const SerialTimeouts& requested) {
    if (handle == nullptr) {
        return Fail(ERROR_INVALID_HANDLE);
    }
    COMMTIMEOUTS native{};
    native.ReadIntervalTimeout = requested.readInterval;
    native.ReadTotalTimeoutMultiplier = requested.readTotalMultiplier;
    native.ReadTotalTimeoutConstant = requested.readTotalConstant;
    native.WriteTotalTimeoutMultiplier = requested.writeTotalMultiplier;
    native.WriteTotalTimeoutConstant = requested.writeTotalConstant;
    if (!SetCommTimeouts(Native(handle), &native)) {
        return FailOnPort(GetLastError());
    }
    timeouts = requested;
    return 1;
}

int CWinSerialPort::ClearError(uint32_t& outputQueueBytes) {
    outputQueueBytes = 0;
    if (handle == nullptr) {
        return Fail(ERROR_INVALID_HANDLE);
    }
    DWORD errors = 0;
    COMSTAT status{};
    if (!ClearCommError(Native(handle), &errors, &status)) {
        return FailOnPort(GetLastError());
    }
    outputQueueBytes = status.cbOutQue;
    return 1;
}

long long CWinSerialPort::InputQueued() {
    DWORD errors = 0;
    COMSTAT status{};
    if (!ClearCommError(Native(handle), &errors, &status)) {
        FailOnPort(GetLastError());
        return -1;
    }
    return status.cbInQue;
}

int CWinSerialPort::WaitOutputDrained(uint32_t timeoutMs) {
    if (handle == nullptr) {
        return Fail(ERROR_INVALID_HANDLE);
    }
    // EV_TXEMPTY would need a second WaitCommEvent beside the reader's, which the driver
    // refuses; the queue is checked instead, with pauses paced by the line.
    const Clock::time_point deadline = Clock::now() + Milliseconds(timeoutMs);
    for (;;) {
        uint32_t queued = 0;
        if (ClearError(queued) == 0) {
            return 0;
        }
        if (queued == 0) {
            return 1;
        }
        const int64_t left = MillisecondsUntil(deadline);
        if (left <= 0) {
            return 0;
        }
        Sleep(static_cast<DWORD>(DrainPauseMs(queued, baudRate, left)));
    }
}

int CWinSerialPort::WaitForCharacter(uint32_t timeoutMs) {
    if (commEventsFail.load()) {
        return -1;
    }
    // The mask must hold EV_RXCHAR for the wait; events asked for by SetEventMask stay.
    const uint32_t mask = eventMask.load();
    if ((mask & EV_RXCHAR) == 0) {
        if (!SetCommMask(Native(handle), mask | EV_RXCHAR)) {
            commEventsFail.store(true);
            return -1;
        }
        eventMask.store(mask | EV_RXCHAR);
    }
    const Clock::time_point deadline = Clock::now() + Milliseconds(timeoutMs);
    for (;;) {
        // On the heap, so that a wait the system never lets go of can be left its record.
        auto wait = std::make_unique<CommWait>();
        COverlapped& overlapped = wait->overlapped;
        if (!overlapped.Valid()) {
            return -1;
        }
        bool completed = WaitCommEvent(Native(handle), &wait->events, overlapped.Get()) != 0;
        if (!completed) {
            const DWORD error = GetLastError();
            if (error != ERROR_IO_PENDING) {
                if (DeviceGoneCode(error)) {
                    FailOnPort(error);
                    return 1;  // the next Read reports it
                }
                commEventsFail.store(true);
                return -1;
            }
            // A byte that came between the last look at the queue and the start of the wait
            // raises no event (drivers keep no history of bytes from before the wait), so
            // the queue is looked at once more before waiting.
            const int64_t left = std::max<int64_t>(MillisecondsUntil(deadline), 0);
            const bool signalled = InputQueued() == 0 &&
                                   WaitForSingleObject(overlapped.Get()->hEvent,
                                                       static_cast<DWORD>(left)) == WAIT_OBJECT_0;
            if (!signalled) {
                // Bytes already queued, or the time is up: the pending wait could last for
                // ever, so it is ended before its record goes out of scope. Setting the mask
                // again ends it with no event, as documented; Wine watches for events in a
                // thread of its own that no cancel reaches, and ends only on this. The cancel
                // covers a driver that does neither. Completing on its own meanwhile is fine.
                SetCommMask(Native(handle), eventMask.load());
                CancelIoEx(Native(handle), overlapped.Get());
            }
            DWORD ignored = 0;
            completed = GetOverlappedResult(Native(handle), overlapped.Get(), &ignored, TRUE) != 0;
            const DWORD resultError = GetLastError();
            // Wine's watcher thread reports the result before it sets the event and lets go of
            // the wait: returning in between, the event's handle could be closed and handed out
            // again, and the late signal would end a later wait early while its own watcher
            // still wrote into a record gone from the stack (seen: a crash in a later Read). So
            // the record lives until the event says the wait is over, as it does at once on
            // Windows.
            if (WaitForSingleObject(overlapped.Get()->hEvent, WAIT_RELEASE_MS) != WAIT_OBJECT_0) {
                static_cast<void>(wait.release());  // its record stays where the system writes
                commEventsFail.store(true);
                return InputQueued() != 0 ? 1 : -1;
            }
            if (!completed && resultError != ERROR_OPERATION_ABORTED) {
                // The wait itself broke down (Wine cannot watch a pseudo-terminal's lines).
                commEventsFail.store(true);
                return InputQueued() != 0 ? 1 : -1;
            }
        }
        const long long queued = InputQueued();
        if (queued != 0) {
            return 1;  // bytes, or a failure the next Read reports
        }
        // Another event of the mask, or the time is up.
        if (MillisecondsUntil(deadline) <= 0) {
            return 0;
        }
    }
}

int CWinSerialPort::WaitReadable(uint32_t timeoutMs) {
    if (handle == nullptr) {
        // Still a wait, so a caller looping on a closed port does not spin.
        Sleep(timeoutMs);
        return 0;
    }
    const long long queued = InputQueued();
    if (queued != 0) {
        return 1;  // bytes, or a failure the next Read reports
    }
    const Clock::time_point deadline = Clock::now() + Milliseconds(timeoutMs);
    const int waited = WaitForCharacter(timeoutMs);
    if (waited >= 0) {
        return waited;
    }
    // The driver cannot wait for line events (Wine on a pseudo-terminal): look at the queue
    // every few milliseconds instead, which keeps the wake rate bounded.
    for (;;) {
        const int64_t left = MillisecondsUntil(deadline);
        if (left <= 0) {
            return 0;
        }
        Sleep(static_cast<DWORD>(std::min<int64_t>(left, QUEUE_CHECK_MS)));
        if (InputQueued() != 0) {
            return 1;
        }
    }
}

int CWinSerialPort::Read(uint8_t* buffer, uint32_t maxBytes, uint32_t& count) {
    count = 0;
    if (handle == nullptr) {
        return Fail(ERROR_INVALID_HANDLE);
    }
    if (maxBytes == 0) {
        return 1;
    }
    // "Return at once": only what the input queue holds is asked for, so the read completes
    // without waiting even where a driver (Wine's) lets an overlapped read wait for more.
    if (timeouts.readInterval == TIMEOUT_MAX && timeouts.readTotalMultiplier == 0 &&
        timeouts.readTotalConstant == 0) {
        const long long queued = InputQueued();
        if (queued < 0) {
            return 0;
        }
        if (queued == 0) {
            return 1;
        }
        maxBytes = static_cast<uint32_t>(std::min<long long>(maxBytes, queued));
    }
    COverlapped overlapped;
    if (!overlapped.Valid()) {
        return Fail(GetLastError());
    }
    const BOOL started = ReadFile(Native(handle), buffer, maxBytes, nullptr, overlapped.Get());
    return FinishTransfer(started, overlapped, count);
}

int CWinSerialPort::Write(const uint8_t* bytes, uint32_t count, uint32_t& written) {
    written = 0;
    if (handle == nullptr) {
        return Fail(ERROR_INVALID_HANDLE);
    }
    if (count == 0) {
        return 1;
    }
    COverlapped overlapped;
    if (!overlapped.Valid()) {
        return Fail(GetLastError());
    }
    // Timed out, written tells how much went (0 for none).
    const BOOL started = WriteFile(Native(handle), bytes, count, nullptr, overlapped.Get());
    return FinishTransfer(started, overlapped, written);
}

int CWinSerialPort::Close() {
    if (handle == nullptr) {
        return 1;
    }
    const HANDLE port = Native(handle);
    handle = nullptr;
    if (!CloseHandle(port)) {
        return Fail(GetLastError());
    }
    return 1;
}

std::string CWinSerialPort::LastErrorText() const {
    return SystemErrorText(t_lastError);
}

}  // namespace platform::windows
