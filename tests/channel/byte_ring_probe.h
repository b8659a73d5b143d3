// Lets a test hold a ring's guard as a Put or Get on another thread would.
#pragma once

#include "channel/byte_ring.h"

struct ByteRingProbe {
    static bool Hold(CByteRing& ring) { return !ring.busy.test_and_set(); }
    static void Release(CByteRing& ring) { ring.busy.clear(); }
};
