// The core's side of the operations and waits it shares with the page's pump.
#include "platform/web/web_pump.h"

#include <emscripten/threading.h>

#include <chrono>
#include <cstdlib>
#include <new>

namespace platform::web {

static_assert(sizeof(std::atomic<int32_t>) == 4 && sizeof(void*) == 4);
static_assert(offsetof(PumpQueue, signal) == 8 && offsetof(PumpQueue, state) == 12 &&
              offsetof(PumpQueue, capacity) == 16 && offsetof(PumpQueue, data) == 20);
static_assert(offsetof(PumpOp, result) == 4 && offsetof(PumpOp, text) == 8 &&
              OP_BYTES_OFFSET == 208);

PumpOp* NewOp(size_t bytes) {
    // malloc, not new: the pump frees an op it settles after the core gave up, with free.
    void* memory = std::malloc(OP_BYTES_OFFSET + bytes);
    if (memory == nullptr) {
        throw std::bad_alloc();
    }
    return new (memory) PumpOp();
}

void WaitChange(std::atomic<int32_t>& word, int32_t seen, double timeoutMs) {
    emscripten_futex_wait(&word, static_cast<uint32_t>(seen), timeoutMs);
}

void Signal(std::atomic<int32_t>& word) {
    word.fetch_add(1);
    emscripten_futex_wake(&word, INT32_MAX);
}

int32_t FinishOp(PumpOp* op, int32_t timeoutMs, const std::atomic<int32_t>* stop,
                 std::string* failure) {
    using Clock = std::chrono::steady_clock;
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        const int32_t state = op->state.load();
        if (state == OP_DONE) {
            const int32_t result = op->result;
            if (failure != nullptr) {
                *failure = op->text;
            }
            std::free(op);
            return result;
        }
        double waitMs = 100;  // a stop is looked at this often
        if (timeoutMs >= 0) {
            const auto left =
                std::chrono::duration<double, std::milli>(deadline - Clock::now()).count();
            waitMs = left < waitMs ? left : waitMs;
        }
        if (waitMs <= 0 || (stop != nullptr && stop->load() != 0)) {
            int32_t expected = OP_PENDING;
            if (op->state.compare_exchange_strong(expected, OP_ABANDONED)) {
                return -1;  // the pump frees it when it settles
            }
            continue;  // settled meanwhile
        }
        emscripten_futex_wait(&op->state, OP_PENDING, waitMs);
    }
}

}  // namespace platform::web
