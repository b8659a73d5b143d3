// Overlapped I/O as the Windows backends use it: each operation has its own record and
// manual-reset event, so operations on two threads (a reader and a writer) never share either.
#pragma once

#include "platform/windows/win_api.h"

namespace platform::windows {

// The HANDLE behind the backends' `void*` members, which keep <windows.h> out of their headers.
inline HANDLE Native(void* handle) {
    return static_cast<HANDLE>(handle);
}

class COverlapped {
  public:
    COverlapped() { record.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr); }
    ~COverlapped() {
        if (record.hEvent != nullptr) {
            CloseHandle(record.hEvent);
        }
    }
    COverlapped(const COverlapped&) = delete;
    COverlapped& operator=(const COverlapped&) = delete;

    bool Valid() const { return record.hEvent != nullptr; }
    OVERLAPPED* Get() { return &record; }

  private:
    OVERLAPPED record{};
};

}  // namespace platform::windows
