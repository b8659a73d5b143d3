// Boundaries, hysteresis, order and thread safety of the byte ring.
#include "channel/byte_ring.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "tests/channel/byte_ring_probe.h"
#include "tests/common/test_support.h"

namespace {

void Fill(CByteRing& ring, int bytes) {
    for (int i = 0; i < bytes; ++i) {
        ASSERT_NE(ring.Put(static_cast<uint8_t>(i)), -1) << "at byte " << i;
    }
}
void Take(CByteRing& ring, int bytes) {
    uint8_t out = 0;
    for (int i = 0; i < bytes; ++i) {
        ASSERT_EQ(ring.Get(out), 1) << "at byte " << i;
    }
}

TEST(ByteRing, BoundariesHysteresisBusyAndReset) {
    CByteRing ring;
    uint8_t out = 0xAB;
    EXPECT_EQ(ring.Get(out), 0);
    EXPECT_EQ(out, 0xAB) << "an empty ring leaves the argument alone";

    Fill(ring, 4085);
    EXPECT_EQ(ring.Put(1), 0) << "4085 held: ten places free after the put";
    EXPECT_EQ(ring.Put(2), 2) << "4086 held: nine free after the put";
    Fill(ring, 4095 - 4087);
    EXPECT_EQ(ring.Put(3), 2) << "4095 held: the put that fills the ring warns too";
    EXPECT_EQ(ring.Put(4), -1);
    EXPECT_EQ(ring.Count(), 4096);
    Take(ring, 4076);
    EXPECT_EQ(ring.Put(5), -1) << "20 held: still full until 19 remain";
    Take(ring, 1);
    EXPECT_EQ(ring.Put(6), 0) << "19 held: accepts again";

    // A refusal while busy changes nothing.
    ASSERT_TRUE(ByteRingProbe::Hold(ring));
    EXPECT_EQ(ring.Put(7), -1);
    EXPECT_EQ(ring.Get(out), 0);
    EXPECT_EQ(out, 0xAB);
    EXPECT_EQ(ring.Count(), 20);
    ByteRingProbe::Release(ring);

    Fill(ring, 4076);
    ring.Reset();
    EXPECT_EQ(ring.Count(), 0);

    // A batch stops where the ring is full and keeps its order, from the reset ring's start.
    const Bytes batch = Stream(0, 5000);
    ring.PutAllWhenFree(batch.data(), batch.size());
    EXPECT_EQ(ring.Count(), 4096);
    for (size_t i = 0; i < 4096 && ring.Get(out) == 1; ++i) {
        ASSERT_EQ(out, batch[i]) << i;
    }
}

// Two producers put numbered bytes (top bit: producer, low 7 bits: sequence) while one
// consumer takes them and now and then resets the ring. Each stream comes out in order across
// a hundred wraps of the store (a reset may drop a stretch), nothing lost, doubled or invented
// (each shows as a break in a stream's sequence), the count within bounds throughout.
TEST(ByteRing, TwoProducersOneConsumerWithResets) {
    static CByteRing ring;
    ring.Reset();
    constexpr int PER_PRODUCER = 200000;
    std::atomic<bool> done[2] = {false, false};
    std::atomic<int> outOfRange{0};
    const auto checkCount = [&] {
        const int held = ring.Count();
        outOfRange += held < 0 || held > CByteRing::CAPACITY;
    };
    auto produce = [&](int p) {
        for (int seq = 0; seq < PER_PRODUCER;) {
            if (ring.Put(static_cast<uint8_t>((p << 7) | (seq & 0x7F))) != -1) {
                ++seq;
            } else {
                std::this_thread::yield();
            }
            checkCount();
        }
        done[p] = true;
    };
    std::thread a(produce, 0);
    std::thread b(produce, 1);

    int taken = 0, resets = 0, orderErrors = 0;
    int lastSeq[2] = {-1, -1};
    uint8_t out = 0;
    while (!(done[0] && done[1]) || ring.Count() > 0) {
        if (ring.Get(out) == 1) {
            const int p = out >> 7, seq = out & 0x7F;
            orderErrors += lastSeq[p] >= 0 && seq != ((lastSeq[p] + 1) & 0x7F);
            lastSeq[p] = seq;
            if (++taken % 5000 == 0) {
                ring.Reset();
                ++resets;
                lastSeq[0] = lastSeq[1] = -1;
            }
        } else {
            std::this_thread::yield();
        }
        checkCount();
    }
    a.join();
    b.join();
    EXPECT_EQ(outOfRange.load(), 0);
    EXPECT_GT(resets, 0);
    EXPECT_EQ(orderErrors, 0) << "bytes came out of order or doubled";
    EXPECT_LE(taken, 2 * PER_PRODUCER);
}

}  // namespace
