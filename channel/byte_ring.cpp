// Byte queue between threads that never blocks.
#include "channel/byte_ring.h"

#include "channel/data_signal.h"

#include <thread>

CByteRing receiveRing;
CByteRing usbRxRing;
CDataSignal usbRxSignal;

int CByteRing::Put(uint8_t value) {
    if (busy.test_and_set(std::memory_order_acquire)) {
        return -1;
    }
    return PutHeld(value);
}

void CByteRing::TakeGuard() {
    // Another Put or Get holds the guard for a few instructions only, as in Reset.
    while (busy.test_and_set(std::memory_order_acquire)) {
        std::this_thread::yield();
    }
}

void CByteRing::PutAllWhenFree(const uint8_t* bytes, size_t count) {
    TakeGuard();
    // Nothing leaves while the guard is held: once one byte finds the ring full, so would
    // every one after it.
    for (size_t i = 0; i < count && Store(bytes[i]) >= 0; ++i) {
    }
    busy.clear(std::memory_order_release);
}

int CByteRing::PutHeld(uint8_t value) {
    const int result = Store(value);
    busy.clear(std::memory_order_release);
    return result;
}

int CByteRing::Store(uint8_t value) {
    const uint16_t held = count.load(std::memory_order_relaxed);
    if (full || held >= capacity) {
        return -1;
    }
    uint32_t position = readIndex + held;
    if (position >= capacity) {
        position -= capacity;
    }
    data[position] = value;
    const uint16_t now = held + 1;
    count.store(now, std::memory_order_release);
    int result = 0;
    if (capacity - now < highMark) {
        result = 2;
        if (now == capacity) {
            full = true;
        }
    }
    return result;
}

int CByteRing::Get(uint8_t& out) {
    if (busy.test_and_set(std::memory_order_acquire)) {
        return 0;
    }
    const uint16_t held = count.load(std::memory_order_relaxed);
    if (held == 0) {
        busy.clear(std::memory_order_release);
        return 0;
    }
    out = data[readIndex];
    readIndex = readIndex + 1 == capacity ? 0 : readIndex + 1;
    const uint16_t now = held - 1;
    count.store(now, std::memory_order_release);
    if (now < lowMark) {
        full = false;
    }
    busy.clear(std::memory_order_release);
    return 1;
}

void CByteRing::Reset() {
    // A Put or Get holds the guard for a few instructions only, so yielding until it is
    // free is brief and cannot starve.
    while (busy.test_and_set(std::memory_order_acquire)) {
        std::this_thread::yield();
    }
    count.store(0, std::memory_order_release);
    readIndex = 0;
    full = false;
    busy.clear(std::memory_order_release);
}
