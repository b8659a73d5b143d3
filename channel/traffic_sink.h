// Where a channel worker hands the bytes it took from its link: the page's traffic view and
// counter in the program, a recorder in tests. Keeps the workers free of any GUI.
#pragma once

#include <cstdint>

class ITrafficSink {
  public:
    virtual ~ITrafficSink() = default;
    // Called on the worker's thread with each batch, in the order the board sent it.
    virtual void Received(const uint8_t* bytes, uint32_t count) = 0;
};
