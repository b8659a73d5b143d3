// Log outputs on Windows: overlapped writes waited for in steps, so a pipe whose reader has
// stopped reading holds the writer only as long as the caller lets it.
#include "platform/log_output.h"

#include <algorithm>
#include <chrono>

#include "platform/windows/win_overlapped.h"
#include "platform/windows/win_text.h"

namespace platform {

namespace {

using Clock = std::chrono::steady_clock;
using windows::COverlapped;
using windows::SystemErrorText;

// How long one wait for a stalled reader lasts before the caller is asked again.
constexpr DWORD STALL_STEP_MS = 100;
constexpr DWORD WRITE_CHUNK = 1 << 20;

const char* const NO_READER_TEXT = "no program is reading from it";
const char* const READER_GONE_TEXT = "the program reading from it has stopped";
const char* const GAVE_UP_TEXT = "the program reading from it took nothing for too long";

class CLogOutput : public ILogOutput {
  public:
    CLogOutput(HANDLE handle, bool disk) : handle(handle), disk(disk) {}
    ~CLogOutput() override { CloseHandle(handle); }
    CLogOutput(const CLogOutput&) = delete;
    CLogOutput& operator=(const CLogOutput&) = delete;

    bool Write(const void* data, std::size_t size, const KeepWaiting& keepWaiting) override {
        const auto* next = static_cast<const char*>(data);
        Clock::time_point lastProgress = Clock::now();
        while (size > 0) {
            COverlapped operation;
            if (!operation.Valid()) {
                return Fail(GetLastError());
            }
            if (disk) {
                // Both offsets all ones: at the end of the file, as an append.
                operation.Get()->Offset = 0xFFFFFFFF;
                operation.Get()->OffsetHigh = 0xFFFFFFFF;
            }
            const DWORD chunk = static_cast<DWORD>(std::min<std::size_t>(size, WRITE_CHUNK));
            if (!WriteFile(handle, next, chunk, nullptr, operation.Get()) &&
                GetLastError() != ERROR_IO_PENDING) {
                return Fail(GetLastError());
            }
            while (WaitForSingleObject(operation.Get()->hEvent, STALL_STEP_MS) == WAIT_TIMEOUT) {
                const auto stalled = std::chrono::duration_cast<std::chrono::milliseconds>(
                                         Clock::now() - lastProgress)
                                         .count();
                if (!keepWaiting(stalled)) {
                    CancelIoEx(handle, operation.Get());
                    DWORD ignored = 0;
                    GetOverlappedResult(handle, operation.Get(), &ignored, TRUE);
                    failure = GAVE_UP_TEXT;
                    return false;
                }
            }
            DWORD written = 0;
            if (!GetOverlappedResult(handle, operation.Get(), &written, FALSE)) {
                return Fail(GetLastError());
            }
            next += written;
            size -= written;
            lastProgress = Clock::now();
        }
        return true;
    }

    std::string FailureText() const override { return failure; }

  private:
    bool Fail(DWORD code) {
        failure = code == ERROR_NO_DATA || code == ERROR_BROKEN_PIPE ? READER_GONE_TEXT
                                                                     : SystemErrorText(code);
        return false;
    }

    const HANDLE handle;
    const bool disk;
    std::string failure;
};

}  // namespace

std::unique_ptr<ILogOutput> OpenLogOutput(const std::string& path, std::string* failure) {
    // GENERIC_WRITE rather than FILE_APPEND_DATA, which on a pipe would ask for a new pipe
    // instance; a disk file is appended to by the offsets of each write.
    const HANDLE handle = CreateFileW(windows::WideFromUtf8(path).c_str(), GENERIC_WRITE,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS,
                                      FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OVERLAPPED, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        const DWORD code = GetLastError();
        if (failure != nullptr) {
            // A pipe with no free instance: its server is not waiting for a reader.
            *failure = code == ERROR_PIPE_BUSY ? NO_READER_TEXT : SystemErrorText(code);
        }
        return nullptr;
    }
    return std::make_unique<CLogOutput>(handle, GetFileType(handle) == FILE_TYPE_DISK);
}

}  // namespace platform
