// A program started from a terminal prints to it already; Ctrl+C arrives as a signal.
#include "platform/console.h"

#include <signal.h>
#include <unistd.h>

namespace platform {

void UseStartingConsole() {}

namespace {

std::atomic<int>* interruptFlag = nullptr;

void OnInterrupt(int signalNumber) {
    // Only what a signal handler may do: a lock-free store, then the default back.
    interruptFlag->store(1);
    ::signal(signalNumber, SIG_DFL);
}

}  // namespace

void CatchInterrupts(std::atomic<int>& flag) {
    static_assert(std::atomic<int>::is_always_lock_free);
    interruptFlag = &flag;
    struct sigaction action = {};
    action.sa_handler = OnInterrupt;
    sigemptyset(&action.sa_mask);
    for (const int signalNumber : {SIGINT, SIGTERM, SIGHUP}) {
        ::sigaction(signalNumber, &action, nullptr);
    }
}

std::string HostName() {
    char name[256] = {};
    return ::gethostname(name, sizeof name - 1) == 0 ? name : "";
}

}  // namespace platform
