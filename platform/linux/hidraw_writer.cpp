// Output reports of one hidraw node, written by a child process.
#include "platform/linux/hidraw_writer.h"

#include <dirent.h>
#include <errno.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <set>
#include <string>

namespace platform::linux_hid {

namespace {

// Longest report the child passes on; hidraw reports are at most 4096 bytes.
constexpr size_t MAX_REPORT = 4096 + 1;

struct Result {
    int64_t written;
    int32_t error;
};

// When each outstanding write began, for WriteHeldLongerThan.
std::mutex g_outstandingMutex;
std::multiset<int64_t> g_outstanding;

int64_t NowMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// The highest descriptor open now.
int HighestOpenFd() {
    int highest = 2;
    if (DIR* dir = ::opendir("/proc/self/fd")) {
        while (const dirent* entry = ::readdir(dir)) {
            highest = std::max(highest, std::atoi(entry->d_name));
        }
        ::closedir(dir);
    }
    return highest;
}

// The child's whole life, in system calls only: it shares nothing with the threads it was
// forked from. Keeps the node's open files and its end of the channel, writes each report it
// is given, answers with the result, and ends when the channel closes.
[[noreturn]] void ChildMain(int nodeFd, int channel, int highestFd) {
    struct stat node {};
    const bool nodeKnown = ::syscall(SYS_fstat, nodeFd, &node) == 0 && S_ISCHR(node.st_mode);
    for (int fd = 3; fd <= highestFd; ++fd) {
        if (fd == nodeFd || fd == channel) {
            continue;
        }
        struct stat other {};
        // Other open files of the same node (the read handle) stay referenced here, so the
        // parent's close of them is never the last one while a write is held.
        if (nodeKnown && ::syscall(SYS_fstat, fd, &other) == 0 && S_ISCHR(other.st_mode) &&
            other.st_rdev == node.st_rdev) {
            continue;
        }
        ::syscall(SYS_close, fd);
    }
    static uint8_t report[MAX_REPORT];
    for (;;) {
        const long got = ::syscall(SYS_read, channel, report, sizeof report);
        if (got <= 0) {
            if (got < 0 && errno == EINTR) {
                continue;
            }
            break;
        }
        Result result{};
        do {
            result.written = ::syscall(SYS_write, nodeFd, report, got);
        } while (result.written < 0 && errno == EINTR);
        result.error = result.written < 0 ? errno : 0;
        if (::syscall(SYS_sendto, channel, &result, sizeof result, MSG_NOSIGNAL, nullptr, 0) < 0) {
            break;  // nobody waits for the answer any more
        }
    }
    ::syscall(SYS_exit_group, 0);
    __builtin_unreachable();
}

}  // namespace

CHidrawWriter::CHidrawWriter(int nodeFd) : nodeFd(nodeFd) {}

CHidrawWriter::~CHidrawWriter() {
    // The child sees the channel close once its write, if any, is done, and ends.
    if (channel >= 0) {
        ::close(channel);
    }
}

bool CHidrawWriter::StartChild() {
    int ends[2];
    if (::socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, ends) != 0) {
        return false;
    }
    const int highest = std::max(HighestOpenFd(), std::max(ends[0], ends[1])) + 64;
    const pid_t middle = ::fork();
    if (middle < 0) {
        ::close(ends[0]);
        ::close(ends[1]);
        return false;
    }
    if (middle == 0) {
        // Forked twice, so the writer is nobody's child here and needs no reaping.
        const pid_t writer = ::fork();
        if (writer == 0) {
            ChildMain(nodeFd, ends[1], highest);
        }
        ::syscall(SYS_exit_group, writer < 0 ? 1 : 0);
        __builtin_unreachable();
    }
    ::close(ends[1]);
    int status = 0;
    while (::waitpid(middle, &status, 0) < 0 && errno == EINTR) {
    }
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        ::close(ends[0]);
        return false;
    }
    channel = ends[0];
    return true;
}

ssize_t CHidrawWriter::Write(const uint8_t* report, size_t length) {
    std::lock_guard<std::mutex> hold(mutex);
    if (length == 0 || length > MAX_REPORT) {
        errno = EINVAL;
        return -1;
    }
    if (channel < 0 && !failedToStart && !StartChild()) {
        failedToStart = true;
    }
    if (channel < 0) {
        // No child to be had: write here, as a plain write would.
        ssize_t written;
        do {
            written = ::write(nodeFd, report, length);
        } while (written < 0 && errno == EINTR);
        return written;
    }
    int64_t started = NowMs();
    {
        std::lock_guard<std::mutex> outstanding(g_outstandingMutex);
        g_outstanding.insert(started);
    }
    ssize_t sent;
    do {
        sent = ::send(channel, report, length, MSG_NOSIGNAL);
    } while (sent < 0 && errno == EINTR);
    Result result{-1, EIO};
    if (sent == static_cast<ssize_t>(length)) {
        for (;;) {
            pollfd wait{channel, POLLIN, 0};
            if (::poll(&wait, 1, -1) < 0 && errno == EINTR) {
                continue;
            }
            const ssize_t got = ::recv(channel, &result, sizeof result, 0);
            if (got < 0 && errno == EINTR) {
                continue;
            }
            if (got != static_cast<ssize_t>(sizeof result)) {
                result = {-1, EIO};  // the child is gone
            }
            break;
        }
    }
    {
        std::lock_guard<std::mutex> outstanding(g_outstandingMutex);
        g_outstanding.erase(g_outstanding.find(started));
    }
    if (result.written < 0) {
        errno = result.error;
        return -1;
    }
    return static_cast<ssize_t>(result.written);
}

bool CHidrawWriter::WriteHeldLongerThan(int ms) {
    std::lock_guard<std::mutex> outstanding(g_outstandingMutex);
    return !g_outstanding.empty() && *g_outstanding.begin() < NowMs() - ms;
}

}  // namespace platform::linux_hid
