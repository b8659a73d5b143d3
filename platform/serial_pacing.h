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

// The bytes to pace a drain check by. Some drivers count whole transfer buffers rather than
// bytes (Linux cdc-acm reports a full URB's size for a block of eight), which would make every
// check sleep for a line time the bytes never need; what was written since the queue was last
// seen empty bounds what it can really hold. 0 written means not known.
inline int64_t PacedQueue(int64_t queued, uint64_t writtenSinceEmpty) {
    return writtenSinceEmpty > 0
               ? std::min<int64_t>(queued, static_cast<int64_t>(writtenSinceEmpty))
               : queued;
}

// How long to sleep while `queued` bytes leave the port: as long as the line needs for them
// (ten bits a byte), at least 1 ms so the wait never spins, at most leftMs, the time to the
// caller's deadline.
inline int64_t DrainPauseMs(int64_t queued, uint32_t baudRate, int64_t leftMs) {
    const int64_t lineTime = baudRate > 0 ? queued * 10 * 1000 / baudRate : 1;
    return std::clamp<int64_t>(lineTime, 1, leftMs);
}

}  // namespace platform
