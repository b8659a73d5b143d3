// Boundaries, hysteresis, order and thread safety of the byte ring.
#include "serial/byte_ring.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

// Holds the ring's guard as a Put or Get on another thread would.
struct ByteRingProbe {
    static void Hold(CByteRing& ring) { ASSERT_FALSE(ring.busy.test_and_set()); }
    static void Release(CByteRing& ring) { ring.busy.clear(); }
};

namespace {

void Fill(CByteRing& ring, int bytes) {
    for (int i = 0; i < bytes; ++i) {
        ASSERT_NE(ring.Put(static_cast<uint8_t>(i)), -1) << "at byte " << i;
    }
}

TEST(ByteRing, NewRingIsEmptyAndGetLeavesItsArgument) {
    CByteRing ring;
    uint8_t out = 0xAB;
    EXPECT_EQ(ring.Count(), 0);
    EXPECT_EQ(ring.Get(out), 0);
    EXPECT_EQ(out, 0xAB);
}

TEST(ByteRing, NearlyFullWarningAndFullStateWithHysteresis) {
    CByteRing ring;
    Fill(ring, 4085);
    EXPECT_EQ(ring.Put(1), 0) << "4085 held: ten places free after the put";
    EXPECT_EQ(ring.Count(), 4086);
    EXPECT_EQ(ring.Put(2), 2) << "4086 held: nine free after the put";
    Fill(ring, 4095 - 4087);
    ASSERT_EQ(ring.Count(), 4095);
    EXPECT_EQ(ring.Put(3), 2) << "the put that fills the ring warns too";
    EXPECT_EQ(ring.Count(), 4096);
    EXPECT_EQ(ring.Put(4), -1);
    EXPECT_EQ(ring.Count(), 4096);

    uint8_t out = 0;
    for (int i = 0; i < 4076; ++i) {
        ASSERT_EQ(ring.Get(out), 1);
    }
    EXPECT_EQ(ring.Count(), 20);
    EXPECT_EQ(ring.Put(5), -1) << "one free place is not enough to leave the full state";
    ASSERT_EQ(ring.Get(out), 1);
    EXPECT_EQ(ring.Count(), 19);
    EXPECT_EQ(ring.Put(6), 0);
    EXPECT_EQ(ring.Count(), 20);
}

TEST(ByteRing, ResetOnAFullRingAcceptsAgain) {
    CByteRing ring;
    Fill(ring, 4096);
    ASSERT_EQ(ring.Put(0), -1);
    ring.Reset();
    EXPECT_EQ(ring.Count(), 0);
    EXPECT_EQ(ring.Put(42), 0);
    uint8_t out = 0;
    EXPECT_EQ(ring.Get(out), 1);
    EXPECT_EQ(out, 42);
}

TEST(ByteRing, KeepsOrderAcrossTheWrap) {
    CByteRing ring;
    uint8_t out = 0;
    // Move the read index close to the end of the store, then run past it several times.
    Fill(ring, 4000);
    for (int i = 0; i < 4000; ++i) {
        ASSERT_EQ(ring.Get(out), 1);
    }
    uint8_t next = 0;
    uint8_t expected = 0;
    for (int round = 0; round < 5; ++round) {
        for (int i = 0; i < 3000; ++i) {
            ASSERT_NE(ring.Put(next++), -1);
        }
        for (int i = 0; i < 3000; ++i) {
            ASSERT_EQ(ring.Get(out), 1);
            ASSERT_EQ(out, expected++);
        }
    }
    EXPECT_EQ(ring.Count(), 0);
}

// Two producers put numbered bytes while one consumer takes them and now and then resets
// the ring. Each producer's bytes must come out in order (a reset may drop a stretch), no
// byte may appear twice, and the count must stay within bounds at every step.
TEST(ByteRing, TwoProducersOneConsumerWithResets) {
    static CByteRing ring;
    ring.Reset();
    constexpr int PER_PRODUCER = 200000;
    std::atomic<bool> done[2] = {false, false};
    std::atomic<int> outOfRange{0};

    // Producer p sends values with the top bit p and a 7-bit sequence number, so the consumer
    // can tell the two streams apart and check each one's order.
    auto produce = [&](int p) {
        uint8_t seq = 0;
        for (int i = 0; i < PER_PRODUCER;) {
            const uint8_t value = static_cast<uint8_t>((p << 7) | (seq & 0x7F));
            if (ring.Put(value) != -1) {
                ++seq;
                ++i;
            } else {
                std::this_thread::yield();
            }
            const int held = ring.Count();
            if (held < 0 || held > CByteRing::CAPACITY) {
                ++outOfRange;
            }
        }
        done[p] = true;
    };
    std::thread a(produce, 0);
    std::thread b(produce, 1);

    int taken = 0;
    int resets = 0;
    int lastSeq[2] = {-1, -1};
    int orderErrors = 0;
    uint8_t out = 0;
    while (!(done[0] && done[1]) || ring.Count() > 0) {
        if (ring.Get(out) == 1) {
            const int p = out >> 7;
            const int seq = out & 0x7F;
            // Without a reset in between, the next byte of a stream is exactly one further.
            if (lastSeq[p] >= 0 && seq != ((lastSeq[p] + 1) & 0x7F)) {
                ++orderErrors;
            }
            lastSeq[p] = seq;
            if (++taken % 5000 == 0) {
                ring.Reset();
                ++resets;
                lastSeq[0] = lastSeq[1] = -1;
            }
        } else {
            std::this_thread::yield();
        }
        const int held = ring.Count();
        if (held < 0 || held > CByteRing::CAPACITY) {
            ++outOfRange;
        }
    }
    a.join();
    b.join();

    EXPECT_EQ(outOfRange.load(), 0);
    EXPECT_GT(resets, 0);
    EXPECT_EQ(orderErrors, 0) << "bytes came out of order or doubled";
    EXPECT_EQ(ring.Count(), 0);
    ring.Reset();
    EXPECT_EQ(ring.Put(7), 0);
}

TEST(ByteRing, RefusesWhileBusyAndChangesNothing) {
    CByteRing ring;
    ASSERT_EQ(ring.Put(9), 0);
    ByteRingProbe::Hold(ring);
    uint8_t out = 0x55;
    EXPECT_EQ(ring.Put(1), -1);
    EXPECT_EQ(ring.Get(out), 0);
    EXPECT_EQ(out, 0x55);
    EXPECT_EQ(ring.Count(), 1);
    ByteRingProbe::Release(ring);
    EXPECT_EQ(ring.Get(out), 1);
    EXPECT_EQ(out, 9);
}

TEST(ByteRing, NothingLostOrInventedUnderContention) {
    // Hammer Put and Get from two threads; every refusal must leave the ring unchanged, so
    // the number of bytes in equals the number out plus what is still held.
    static CByteRing ring;
    ring.Reset();
    std::atomic<long> stored{0};
    std::atomic<bool> stop{false};
    std::thread producer([&] {
        while (!stop) {
            if (ring.Put(1) != -1) {
                ++stored;
            }
        }
    });
    long removed = 0;
    uint8_t out = 0;
    for (int i = 0; i < 300000; ++i) {
        removed += ring.Get(out);
    }
    stop = true;
    producer.join();
    EXPECT_EQ(stored.load(), removed + ring.Count());
}

}  // namespace
