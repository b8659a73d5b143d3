// Output reports of one hidraw node, written by a helper program started for the node.
#include "platform/linux/hidraw_writer.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
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

#include "platform/linux/helper_programs.h"
#include "platform/linux/hidraw_writer_protocol.h"

namespace platform::linux_hid {

namespace {

// When each outstanding write began, for WriteHeldLongerThan. Never destroyed: a write still
// held when the program ends may finish on a detached thread after static destruction.
struct Outstanding {
    std::mutex mutex;
    std::multiset<int64_t> began;
};
Outstanding& g_outstanding = *new Outstanding;

// How long the helper may take to start and say it is ready.
constexpr int HELPER_START_MS = 5000;
// The most open files of the node handed to the helper besides the one it writes.
constexpr int MAX_HANDED = 16;

int64_t NowMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// Marks a write outstanding for as long as it lives.
class COutstandingWrite {
  public:
    COutstandingWrite() : began(NowMs()) {
        std::lock_guard<std::mutex> hold(g_outstanding.mutex);
        g_outstanding.began.insert(began);
    }
    ~COutstandingWrite() {
        std::lock_guard<std::mutex> hold(g_outstanding.mutex);
        g_outstanding.began.erase(g_outstanding.began.find(began));
    }
    COutstandingWrite(const COutstandingWrite&) = delete;
    COutstandingWrite& operator=(const COutstandingWrite&) = delete;

  private:
    const int64_t began;
};

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

// Between fork and exec, in system calls only: the child shares nothing with the threads it
// was forked from. Hands the helper the node, its end of the channel and the node's other
// open files (the read handle), so that the parent's close of them is never the last one
// while a write is held; closes everything else.
[[noreturn]] void ExecHelper(const char* helper, int nodeFd, int channel, int highestFd) {
    int handed[2 + MAX_HANDED];
    int count = 0;
    struct stat node {};
    const bool nodeKnown = ::syscall(SYS_fstat, nodeFd, &node) == 0 && S_ISCHR(node.st_mode);
    for (int fd : {nodeFd, channel}) {
        handed[count++] = static_cast<int>(::syscall(SYS_fcntl, fd, F_DUPFD, highestFd + 1));
    }
    for (int fd = 3; fd <= highestFd && count < 2 + MAX_HANDED; ++fd) {
        struct stat other {};
        if (nodeKnown && fd != nodeFd && ::syscall(SYS_fstat, fd, &other) == 0 &&
            S_ISCHR(other.st_mode) && other.st_rdev == node.st_rdev) {
            handed[count++] = static_cast<int>(::syscall(SYS_fcntl, fd, F_DUPFD, highestFd + 1));
        }
    }
    for (int fd = 3; fd <= highestFd; ++fd) {
        ::syscall(SYS_close, fd);
    }
    // dup2 leaves the copies without close-on-exec; the high ones go.
    for (int i = 0; i < count; ++i) {
        if (handed[i] < 0 || ::syscall(SYS_dup2, handed[i], WRITER_NODE_FD + i) < 0) {
            ::syscall(SYS_exit_group, 127);
        }
        ::syscall(SYS_close, handed[i]);
    }
    char* const argv[] = {const_cast<char*>(helper), nullptr};
    char* const envp[] = {nullptr};
    ::syscall(SYS_execve, helper, argv, envp);
    ::syscall(SYS_exit_group, 127);
    __builtin_unreachable();
}

}  // namespace

CHidrawWriter::CHidrawWriter(int nodeFd) : nodeFd(nodeFd) {}

CHidrawWriter::~CHidrawWriter() {
    // The helper sees the channel close once its write, if any, is done, and ends.
    if (channel >= 0) {
        ::close(channel);
    }
}

bool CHidrawWriter::StartChild() {
    static const std::string helper = FindHelperProgram(WRITER_PROGRAM);
    if (helper.empty()) {
        return false;
    }
    int ends[2];
    if (::socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, ends) != 0) {
        return false;
    }
    // Room above every descriptor open now (and a few opened meanwhile) for the copies.
    const int highest = std::max(HighestOpenFd(), std::max(ends[0], ends[1])) + 64;
    const pid_t middle = ::fork();
    if (middle < 0) {
        ::close(ends[0]);
        ::close(ends[1]);
        return false;
    }
    if (middle == 0) {
        // Forked twice, so the helper is nobody's child here and needs no reaping; both forks
        // last only until the exec.
        const pid_t writer = ::fork();
        if (writer == 0) {
            ExecHelper(helper.c_str(), nodeFd, ends[1], highest);
        }
        ::syscall(SYS_exit_group, writer < 0 ? 1 : 0);
        __builtin_unreachable();
    }
    ::close(ends[1]);
    int status = 0;
    while (::waitpid(middle, &status, 0) < 0 && errno == EINTR) {
    }
    // The helper says it runs; a failed exec closes its end instead.
    uint8_t ready = 0;
    pollfd wait{ends[0], POLLIN, 0};
    const bool started =
        WIFEXITED(status) && WEXITSTATUS(status) == 0 && ::poll(&wait, 1, HELPER_START_MS) == 1 &&
        ::recv(ends[0], &ready, sizeof ready, 0) == sizeof ready && ready == WRITER_READY;
    if (!started) {
        ::close(ends[0]);
        return false;
    }
    channel = ends[0];
    return true;
}

ssize_t CHidrawWriter::Write(const uint8_t* report, size_t length) {
    std::lock_guard<std::mutex> hold(mutex);
    if (length == 0 || length > WRITER_MAX_REPORT) {
        errno = EINVAL;
        return -1;
    }
    if (channel < 0 && !failedToStart && !StartChild()) {
        failedToStart = true;
    }
    const COutstandingWrite outstanding;
    if (channel < 0) {
        // No helper to be had: write here, as a plain write would; a held one is still known.
        ssize_t written;
        do {
            written = ::write(nodeFd, report, length);
        } while (written < 0 && errno == EINTR);
        return written;
    }
    ssize_t sent;
    do {
        sent = ::send(channel, report, length, MSG_NOSIGNAL);
    } while (sent < 0 && errno == EINTR);
    WriterResult result{-1, EIO};
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
                result = {-1, EIO};  // the helper is gone
            }
            break;
        }
    }
    if (result.written < 0) {
        errno = result.error;
        return -1;
    }
    return static_cast<ssize_t>(result.written);
}

bool CHidrawWriter::WriteHeldLongerThan(int ms) {
    std::lock_guard<std::mutex> hold(g_outstanding.mutex);
    return !g_outstanding.began.empty() && *g_outstanding.began.begin() < NowMs() - ms;
}

}  // namespace platform::linux_hid
