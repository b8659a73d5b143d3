// The core's end of a pump queue: the pump moves head after writing, the core tail after
// reading, so each side owns one index and neither needs a lock.
#include "platform/web/web_queue.h"

#include <algorithm>
#include <chrono>
#include <cmath>

namespace platform::web {

CPumpQueue::CPumpQueue(uint32_t capacity) : storage(new uint8_t[capacity]) {
    queue.capacity = capacity;
    queue.data = storage.get();
}

uint32_t CPumpQueue::Take(uint8_t* out, uint32_t count) {
    const uint32_t tail = queue.tail.load();
    const uint32_t taken = std::min(count, queue.head.load() - tail);
    for (uint32_t i = 0; i < taken; ++i) {
        out[i] = queue.data[(tail + i) & (queue.capacity - 1)];
    }
    queue.tail.store(tail + taken);
    if (taken > 0) {
        Signal(queue.signal);  // the pump may be holding bytes back for room
    }
    return taken;
}

bool CPumpQueue::WaitBytes(double timeoutMs) {
    using Clock = std::chrono::steady_clock;
    const Clock::time_point start = Clock::now();
    for (;;) {
        const int32_t seen = queue.signal.load();
        if (Available() > 0) {
            return true;
        }
        if (queue.state.load() != QUEUE_OPEN) {
            return false;
        }
        double left = -1;  // no limit
        if (timeoutMs >= 0) {
            left =
                timeoutMs - std::chrono::duration<double, std::milli>(Clock::now() - start).count();
            if (left <= 0) {
                return false;
            }
        }
        WaitChange(queue.signal, seen, left < 0 ? INFINITY : left);
    }
}

void CPumpQueue::Cancel() {
    int32_t open = QUEUE_OPEN;
    queue.state.compare_exchange_strong(open, QUEUE_CANCELLED);
    Signal(queue.signal);
}

}  // namespace platform::web
