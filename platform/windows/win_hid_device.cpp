// One open HID interface through HID.dll and overlapped reads and writes.
#include "platform/windows/win_hid_device.h"

#include "platform/windows/win_hid_api.h"
#include "platform/windows/win_overlapped.h"

namespace platform::windows {

namespace {

// Finishes an operation that ReadFile or WriteFile has just started (`started` is what it
// returned): waits until it completes, `stop` is set or timeoutMs pass. One that does not
// complete is cancelled, and this returns only once the system has let go of its record and
// buffer. Returns 1 with the bytes moved, or 0 with the reason in GetLastError.
int FinishOperation(HANDLE device, BOOL started, OVERLAPPED& record, HANDLE stop, DWORD timeoutMs,
                    uint32_t& moved) {
    if (!started && GetLastError() != ERROR_IO_PENDING) {
        return 0;  // ERROR_DEVICE_NOT_CONNECTED and the like: the device is gone
    }
    const HANDLE waits[2] = {record.hEvent, stop};
    const DWORD woken = WaitForMultipleObjects(2, waits, FALSE, timeoutMs);
    DWORD got = 0;
    if (woken == WAIT_OBJECT_0) {
        if (!GetOverlappedResult(device, &record, &got, FALSE)) {
            return 0;
        }
        moved = got;
        return 1;
    }
    CancelIoEx(device, &record);
    GetOverlappedResult(device, &record, &got, TRUE);
    SetLastError(woken == WAIT_TIMEOUT ? ERROR_TIMEOUT : ERROR_OPERATION_ABORTED);
    return 0;
}

}  // namespace

CWinHidDevice::CWinHidDevice(void* handle, const HidCaps& caps,
                             std::chrono::milliseconds writeDeadline)
    : handle(handle),
      cancelEvent(CreateEventW(nullptr, TRUE, FALSE, nullptr)),
      closeEvent(CreateEventW(nullptr, TRUE, FALSE, nullptr)),
      caps(caps),
      writeDeadline(writeDeadline) {}

CWinHidDevice::~CWinHidDevice() {
    Close();
}

bool CWinHidDevice::Enter() {
    const uint32_t before = state.fetch_add(1);
    if (before & CLOSED) {
        Leave();
        SetLastError(ERROR_INVALID_HANDLE);
        return false;
    }
    return true;
}

void CWinHidDevice::Leave() {
    // The last call to leave after Close releases the handles.
    if (((state.fetch_sub(1) - 1) & ~CANCELLED) == CLOSED) {
        Release();
    }
}

void CWinHidDevice::Release() {
    if (released.exchange(true)) {
        return;
    }
    CloseHandle(Native(handle));
    if (cancelEvent != nullptr) {
        CloseHandle(Native(cancelEvent));
    }
    if (closeEvent != nullptr) {
        CloseHandle(Native(closeEvent));
    }
}

void CWinHidDevice::CancelRead() {
    if (!Enter()) {
        return;
    }
    state.fetch_or(CANCELLED);
    if (cancelEvent != nullptr) {
        SetEvent(Native(cancelEvent));
    }
    Leave();
}

void CWinHidDevice::Close() {
    // Counted as a user while it wakes the others, so the events are still open.
    const uint32_t before = state.fetch_add(1);
    if (before & CLOSED) {
        Leave();
        return;
    }
    state.fetch_or(CLOSED | CANCELLED);
    if (cancelEvent != nullptr) {
        SetEvent(Native(cancelEvent));
    }
    if (closeEvent != nullptr) {
        SetEvent(Native(closeEvent));
    }
    Leave();
}

int CWinHidDevice::GetAttributes(uint16_t& vendorId, uint16_t& productId) {
    if (!Enter()) {
        return 0;
    }
    HIDD_ATTRIBUTES attributes{};
    attributes.Size = sizeof attributes;
    const BOOLEAN answered = HidD_GetAttributes(Native(handle), &attributes);
    Leave();
    if (!answered) {
        return 0;
    }
    vendorId = attributes.VendorID;
    productId = attributes.ProductID;
    return 1;
}

int CWinHidDevice::GetCaps(HidCaps& result) {
    if (caps.inputReportByteLength == 0 && caps.outputReportByteLength == 0) {
        SetLastError(ERROR_NOT_SUPPORTED);
        return 0;
    }
    result = caps;
    return 1;
}

int CWinHidDevice::ReadReport(uint8_t* buffer, uint32_t length, uint32_t& count) {
    count = 0;
    // Without the cancel event a wait could never be ended: refuse to wait.
    if (length == 0 || cancelEvent == nullptr || !Enter()) {
        return 0;
    }
    int result = 0;
    COverlapped operation;
    if (!operation.Valid()) {
        Leave();
        return 0;
    }
    if (state.load() & CANCELLED) {
        SetLastError(ERROR_OPERATION_ABORTED);
    } else {
        const BOOL started = ReadFile(Native(handle), buffer, length, nullptr, operation.Get());
        result = FinishOperation(Native(handle), started, *operation.Get(), Native(cancelEvent),
                                 INFINITE, count);
    }
    Leave();
    return result;
}

int CWinHidDevice::WriteReport(const uint8_t* report, uint32_t length, uint32_t& written) {
    written = 0;
    if (length == 0 || closeEvent == nullptr || !Enter()) {
        return 0;
    }
    COverlapped operation;
    if (!operation.Valid()) {
        Leave();
        return 0;
    }
    // Byte 0 is the report id, as HID.dll wants it. Past the deadline, or closed, the report
    // counts as not sent.
    const BOOL started = WriteFile(Native(handle), report, length, nullptr, operation.Get());
    const int result =
        FinishOperation(Native(handle), started, *operation.Get(), Native(closeEvent),
                        static_cast<DWORD>(writeDeadline.count()), written);
    Leave();
    return result;
}

}  // namespace platform::windows
