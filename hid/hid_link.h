// The board's USB side: finds the Kit among the HID interfaces, holds a write handle and a
// read handle on it, and runs one reader thread per connection that feeds usbRxRing.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <thread>

#include "platform/hid_device.h"

class CHidLink {
public:
    // Touches no device.
    explicit CHidLink(platform::IHidSystem& hid);
    // The close sequence: alive 0, close command, 1000 ms pause, bounded wait for the
    // reader, close handles.
    virtual ~CHidLink();
    CHidLink(const CHidLink&) = delete;
    CHidLink& operator=(const CHidLink&) = delete;

    // 1 when the Kit was found and opened in this pass. Does not set isOpen.
    uint8_t FindAndOpen();
    void ReadCaps();
    // 1 at once while open (no platform call); otherwise a fresh pass, stored in isOpen.
    uint8_t EnsureOpen();
    // Sends count bytes as output reports of at most 7 payload bytes, connecting first
    // when closed. 1 when every report was written.
    uint8_t SendBytes(uint32_t count, const uint8_t* bytes);

    bool IsOpen() const { return isOpen.load(); }

    // ... implementation-defined members (vendorId, productId, alive, caps, isOpen,
    // deviceHandle, readHandle, reader thread, report buffers sized from caps)
private:
    std::atomic<uint8_t> isOpen{0};
};

// Moves at most capacity waiting bytes from usbRxRing into out, oldest first.
uint32_t DrainInput(uint8_t* out, uint32_t capacity);
