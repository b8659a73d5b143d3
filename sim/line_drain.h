// An output queue that empties at the line's pace, ten bits a byte at the baud rate, as a
// UART or cdc-acm driver sends what a write handed it. Only the time the last queued byte
// leaves is kept; the owner guards it and does its own waiting.
#pragma once

#include <chrono>
#include <cstdint>

namespace sim {

class CLineDrain {
  public:
    using Clock = std::chrono::steady_clock;

    // `count` bytes join the queue at `now`, behind what is still there. Baud 0 sends at once.
    void Add(uint32_t count, uint32_t baudRate, Clock::time_point now) {
        bitsPerSecond = baudRate;
        if (baudRate == 0) {
            return;
        }
        const auto lineTime =
            std::chrono::nanoseconds(uint64_t{count} * 10 * 1000000000 / baudRate);
        drainedAt = (drainedAt > now ? drainedAt : now) + lineTime;
    }
    // Bytes not yet on the line at `now`, a byte partly sent counted as queued.
    uint32_t Queued(Clock::time_point now) const {
        if (drainedAt <= now || bitsPerSecond == 0) {
            return 0;
        }
        const auto left = std::chrono::duration_cast<std::chrono::nanoseconds>(drainedAt - now);
        const uint64_t bits =
            (static_cast<uint64_t>(left.count()) * bitsPerSecond + 999999999) / 1000000000;
        return static_cast<uint32_t>((bits + 9) / 10);
    }
    Clock::time_point DrainedAt() const { return drainedAt; }
    // The queue is dropped (the port closed).
    void Clear() { drainedAt = Clock::time_point{}; }

  private:
    Clock::time_point drainedAt{};
    uint32_t bitsPerSecond = 0;  // the rate the queue was last filled at
};

}  // namespace sim
