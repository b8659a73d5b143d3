// Log outputs on Linux: opened without blocking, so a FIFO with no reader fails at once, and
// written with poll between attempts, so a reader that stops reading holds nobody for ever.
#include "platform/log_output.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <pthread.h>

#include <cerrno>
#include <chrono>

#include "platform/linux/error_text.h"

namespace platform {

namespace {

using Clock = std::chrono::steady_clock;

// How long one wait for a stalled reader lasts before the caller is asked again.
constexpr int STALL_STEP_MS = 100;

const char* const NO_READER_TEXT = "no program is reading from it";
const char* const READER_GONE_TEXT = "the program reading from it has stopped";
const char* const GAVE_UP_TEXT = "the program reading from it took nothing for too long";

// write() with SIGPIPE held back on this thread: a reader that has gone is an error to report,
// not the end of the program. A SIGPIPE this write raised is taken back before the mask is.
ssize_t WriteWithoutSigpipe(int fd, const void* data, size_t size) {
    sigset_t pipeOnly;
    sigemptyset(&pipeOnly);
    sigaddset(&pipeOnly, SIGPIPE);
    sigset_t pendingBefore;
    sigpending(&pendingBefore);
    const bool alreadyPending = sigismember(&pendingBefore, SIGPIPE) == 1;
    sigset_t previous;
    pthread_sigmask(SIG_BLOCK, &pipeOnly, &previous);
    const ssize_t written = ::write(fd, data, size);
    const int error = errno;
    if (written < 0 && error == EPIPE && !alreadyPending) {
        const timespec now{0, 0};
        while (sigtimedwait(&pipeOnly, nullptr, &now) < 0 && errno == EINTR) {
        }
    }
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    errno = error;
    return written;
}

class CLogOutput : public ILogOutput {
  public:
    explicit CLogOutput(int fd) : fd(fd) {}
    ~CLogOutput() override { ::close(fd); }
    CLogOutput(const CLogOutput&) = delete;
    CLogOutput& operator=(const CLogOutput&) = delete;

    bool Write(const void* data, size_t size, const KeepWaiting& keepWaiting) override {
        const auto* next = static_cast<const char*>(data);
        Clock::time_point lastProgress = Clock::now();
        while (size > 0) {
            const ssize_t written = WriteWithoutSigpipe(fd, next, size);
            if (written > 0) {
                next += written;
                size -= static_cast<size_t>(written);
                lastProgress = Clock::now();
                continue;
            }
            if (written < 0 && errno == EINTR) {
                continue;
            }
            if (written < 0 && errno != EAGAIN) {
                failure = errno == EPIPE ? READER_GONE_TEXT : ErrorText(errno);
                return false;
            }
            pollfd entry{fd, POLLOUT, 0};
            if (::poll(&entry, 1, STALL_STEP_MS) < 0 && errno != EINTR) {
                failure = ErrorText(errno);
                return false;
            }
            const auto stalled =
                std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - lastProgress)
                    .count();
            if ((entry.revents & POLLOUT) == 0 && !keepWaiting(stalled)) {
                failure = GAVE_UP_TEXT;
                return false;
            }
        }
        return true;
    }

    std::string FailureText() const override { return failure; }

  private:
    const int fd;
    std::string failure;
};

}  // namespace

std::unique_ptr<ILogOutput> OpenLogOutput(const std::string& path, std::string* failure) {
    // O_NONBLOCK: opening a FIFO for writing would otherwise wait for a reader; writes to a
    // pipe then wait in poll, where the caller can give up. A regular file ignores it.
    const int fd = ::open(path.c_str(),
                          O_WRONLY | O_APPEND | O_CREAT | O_NONBLOCK | O_NOCTTY | O_CLOEXEC, 0666);
    if (fd < 0) {
        if (failure != nullptr) {
            *failure = errno == ENXIO ? NO_READER_TEXT : ErrorText(errno);
        }
        return nullptr;
    }
    return std::make_unique<CLogOutput>(fd);
}

}  // namespace platform
