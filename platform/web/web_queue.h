// A pump queue owned by one open device or port on the core's side.
#pragma once

#include <cstdint>
#include <memory>

#include "platform/web/web_pump.h"

namespace platform::web {

class CPumpQueue {
  public:
    // capacity: a power of two.
    explicit CPumpQueue(uint32_t capacity);
    PumpQueue* Shared() { return &queue; }

    uint32_t Available() const { return queue.head.load() - queue.tail.load(); }
    // Copies out up to `count` bytes; the number taken.
    uint32_t Take(uint8_t* out, uint32_t count);
    // Waits until bytes are there, the queue has ended, or timeoutMs (negative: no limit)
    // has passed. True when bytes are there.
    bool WaitBytes(double timeoutMs);
    int32_t State() const { return queue.state.load(); }
    // Wakes a waiting reader, whose reads then fail.
    void Cancel();

  private:
    std::unique_ptr<uint8_t[]> storage;
    PumpQueue queue;
};

}  // namespace platform::web
