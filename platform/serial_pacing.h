// Deadlines and drain pacing that every serial backend shares: only the system calls that
// ask how much is queued differ between them.
#pragma once

#include <algorithm>
#include <chrono>
#include <cstdint>

namespace platform {

// Whole milliseconds until deadline, rounded up so a wait never ends early; 0 or less once
// it has passed.
inline int64_t MillisecondsUntil(std::chrono::steady_clock::time_point deadline) {
    return std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now())
        .count();
}

// How long to sleep while `queued` bytes leave the port: as long as the line needs for them
// (ten bits a byte), at least 1 ms so the wait never spins, at most leftMs, the time to the
// caller's deadline.
inline int64_t DrainPauseMs(int64_t queued, uint32_t baudRate, int64_t leftMs) {
    const int64_t lineTime = baudRate > 0 ? queued * 10 * 1000 / baudRate : 1;
    return std::clamp<int64_t>(lineTime, 1, leftMs);
}

}  // namespace platform
