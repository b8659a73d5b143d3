// Byte queue between threads that never blocks: a busy try-lock guards it, and a full
// state with hysteresis refuses bytes until the reader has nearly emptied it.
#pragma once

#include <atomic>
#include <cstdint>

class CByteRing {
  public:
    static constexpr uint16_t CAPACITY = 4096;
    static constexpr uint16_t HIGH_MARK = 10;  // free places below which Put warns
    static constexpr uint16_t LOW_MARK = 20;   // bytes held below which Get ends the full state

    CByteRing() = default;
    virtual ~CByteRing() = default;
    CByteRing(const CByteRing&) = delete;
    CByteRing& operator=(const CByteRing&) = delete;

    // 0: stored; 2: stored and fewer than HIGH_MARK places are free; -1: not stored
    // (full, or another thread is inside the ring).
    int Put(uint8_t value);
    // Put for each byte in order, but a moment's hold by another thread is waited out, once
    // for the whole batch: only the full state refuses bytes (and then all that follow).
    void PutAllWhenFree(const uint8_t* bytes, size_t count);
    // 1: the oldest byte was removed into out; 0: nothing removed (empty or busy).
    int Get(uint8_t& out);
    // Drops every byte. Waits for a Put or Get running on another thread to leave first,
    // so the ring never comes out half reset.
    void Reset();
    // Bytes held; read without the guard, so it may change a moment later.
    int Count() const { return count.load(std::memory_order_acquire); }

  private:
    int PutHeld(uint8_t value);  // Put's work, with the guard taken; releases it
    int Store(uint8_t value);    // Put's work, the guard kept
    void TakeGuard();            // waits out another thread's moment inside

    friend struct ByteRingProbe;  // lets tests hold the guard as another thread would

    std::atomic_flag busy;  // the guard: clear means nobody is inside
    bool full = false;
    uint8_t data[CAPACITY];
    const uint16_t capacity = CAPACITY;
    std::atomic<uint16_t> count{0};
    uint16_t readIndex = 0;
    const uint16_t highMark = HIGH_MARK;
    const uint16_t lowMark = LOW_MARK;
};

// Every byte received on either channel since the last version request.
extern CByteRing receiveRing;
// Payload bytes of the board's input reports, from the HID reader to the USB worker.
extern CByteRing usbRxRing;
