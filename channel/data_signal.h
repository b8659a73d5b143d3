// Wakes a consumer thread when its producer has put bytes into a ring, so an idle consumer
// sleeps instead of polling. The ring itself stays lock-free; this only carries the news.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>

class CDataSignal {
  public:
    // Producer: bytes were put. Cheap when nobody waits.
    void Notify() {
        // Sequentially consistent with the waiter count, so a waiter that is about to sleep
        // either sees the new generation or is seen here and woken.
        generation.fetch_add(1);
        if (waiters.load() > 0) {
            std::lock_guard<std::mutex> hold(mutex);
            condition.notify_all();
        }
    }

    // Consumer: the generation seen before looking at the ring.
    uint32_t Generation() const { return generation.load(std::memory_order_acquire); }

    // Consumer: waits until Notify has run since `seen` was read, or timeoutMs passed.
    // Returns true when notified.
    bool WaitSince(uint32_t seen, uint32_t timeoutMs) {
        std::unique_lock<std::mutex> hold(mutex);
        waiters.fetch_add(1);
        const bool notified = condition.wait_for(hold, std::chrono::milliseconds(timeoutMs), [&] {
            return generation.load(std::memory_order_acquire) != seen;
        });
        waiters.fetch_sub(1);
        return notified;
    }

    // Consumers asleep in WaitSince now.
    int Waiters() const { return waiters.load(); }

  private:
    std::atomic<uint32_t> generation{0};
    std::atomic<int> waiters{0};
    std::mutex mutex;
    std::condition_variable condition;
};

// Raised by the HID reader after it delivered a report's payload into usbRxRing.
extern CDataSignal usbRxSignal;
