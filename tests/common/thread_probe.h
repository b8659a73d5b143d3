// Where a thread of this process is blocked, as Linux shows it: /proc/self/task/<tid>/syscall
// names the system call a blocked thread sits in ("running" while it is on a processor).
// Lets a test prove a call is waiting before it acts on the wait.
#pragma once

#include <sys/syscall.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

inline pid_t ThisThreadId() {
    return static_cast<pid_t>(syscall(SYS_gettid));
}

// The system calls a poll(2), a sleep and a wait may use, depending on the architecture.
inline const std::vector<long> POLL_CALLS{
#ifdef SYS_poll
    SYS_poll,
#endif
    SYS_ppoll};
inline const std::vector<long> SLEEP_CALLS{
#ifdef SYS_nanosleep
    SYS_nanosleep,
#endif
    SYS_clock_nanosleep};
inline const std::vector<long> FUTEX_CALLS{SYS_futex};  // a lock or condition wait

// Waits, bounded, until thread `tid` is blocked in one of `calls`; true when it was.
inline bool WaitUntilBlockedIn(pid_t tid, const std::vector<long>& calls, int timeoutMs = 3000) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    do {
        std::ifstream file("/proc/self/task/" + std::to_string(tid) + "/syscall");
        long number = -1;
        if (file >> number) {
            for (long call : calls) {
                if (call == number) {
                    return true;
                }
            }
        }
        // Nothing signals that a thread has blocked: look again shortly.
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    } while (std::chrono::steady_clock::now() < deadline);
    return false;
}
