// A thousand plug/unplug cycles under traffic, all under one HID link (its close sequence
// costs a second, a new link per cycle would cost a thousand): each cycle's chunks arrive
// once, in order and without a gap until the unplug cuts the session's tail.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>

#include "channel/byte_ring.h"
#include "channel/data_signal.h"
#include "hid/hid_link.h"
#include "sim/sim_kit.h"
#include "tests/common/test_support.h"

namespace {

using namespace std::chrono_literals;

constexpr int CYCLES = 1000;

// One input report's payload: cycle (2 bytes), sequence in the cycle (3 bytes), a check
// byte and a mark, so a shifted or torn chunk cannot pass.
Bytes Chunk(uint32_t cycle, uint32_t seq) {
    Bytes chunk = {static_cast<uint8_t>(cycle), static_cast<uint8_t>(cycle >> 8),
                   static_cast<uint8_t>(seq), static_cast<uint8_t>(seq >> 8),
                   static_cast<uint8_t>(seq >> 16)};
    chunk.push_back(
        static_cast<uint8_t>(chunk[0] ^ chunk[1] ^ chunk[2] ^ chunk[3] ^ chunk[4] ^ 0xA5));
    chunk.push_back(0x5A);
    return chunk;
}

// Drains usbRxRing as the USB worker would and checks every chunk as it completes. Its
// counts are read once the threads that feed it have ended.
class CChunkChecker {
  public:
    void Take(const uint8_t* bytes, uint32_t count) {
        std::lock_guard<std::mutex> hold(mutex);
        pending.insert(pending.end(), bytes, bytes + count);
        size_t at = 0;
        for (; at + 7 <= pending.size(); at += 7) {
            Check(Bytes(pending.begin() + static_cast<std::ptrdiff_t>(at),
                        pending.begin() + static_cast<std::ptrdiff_t>(at + 7)));
        }
        pending.erase(pending.begin(), pending.begin() + static_cast<std::ptrdiff_t>(at));
        changed.notify_all();
    }
    // Waits until chunk `seq` of this cycle (or a later one) has arrived; false at the
    // deadline or once a chunk went wrong.
    bool WaitForChunk(int cycle, int64_t seq, std::chrono::milliseconds limit) {
        std::unique_lock<std::mutex> hold(mutex);
        return changed.wait_for(hold, limit, [&] {
            return lastCycle > cycle || (lastCycle == cycle && lastSeq >= seq) || faultCount > 0;
        }) && faultCount == 0;
    }

    Bytes pending;
    int faultCount = 0;
    std::ostringstream faults;

  private:
    void Check(const Bytes& c) {
        const int cycle = c[0] | c[1] << 8;
        const int64_t seq = c[2] | c[3] << 8 | c[4] << 16;
        const bool intact = c == Chunk(cycle, static_cast<uint32_t>(seq));
        // A cycle's first chunk was sent after its link was open, so it arrives; after that
        // each chunk follows the one before.
        const bool inOrder =
            cycle == lastCycle ? seq == lastSeq + 1 : cycle > lastCycle && seq == 0;
        if (!intact || !inOrder) {
            if (faultCount++ < 5) {
                faults << "chunk " << cycle << "/" << seq << " after " << lastCycle << "/"
                       << lastSeq << (intact ? "" : " torn") << "\n";
            }
            return;
        }
        lastCycle = cycle;
        lastSeq = seq;
    }

    std::mutex mutex;
    std::condition_variable changed;
    int lastCycle = -1;
    int64_t lastSeq = -1;
};

}  // namespace

TEST(FaultPlug, ThousandPlugCyclesUnderTrafficUnderOneLink) {
    usbRxRing.Reset();
    CSimKit kit;
    auto link = std::make_unique<CHidLink>(kit.Hid());
    CChunkChecker checker;

    // The USB worker's part: drain whatever arrives.
    std::atomic<bool> draining{true};
    std::thread consumer([&] {
        uint8_t buffer[256];
        while (draining.load()) {
            const uint32_t seen = usbRxSignal.Generation();
            const uint32_t count = DrainInput(buffer, sizeof buffer);
            if (count > 0) {
                checker.Take(buffer, count);
            } else {
                usbRxSignal.WaitSince(seen, 5);
            }
        }
        // Reports queued before the last unplug are still delivered, after the link closed:
        // take what the ring holds once the board has stopped.
        for (uint32_t count; (count = DrainInput(buffer, sizeof buffer)) > 0;) {
            checker.Take(buffer, count);
        }
    });

    const auto start = std::chrono::steady_clock::now();
    int completed = 0;
    for (int c = 0; c < CYCLES; ++c) {
        kit.PlugUsb(true);
        if (link->EnsureOpen() != 1) {
            ADD_FAILURE() << "cycle " << c << ": the plugged Kit was not found";
            break;
        }
        // The board streams until it is pulled out, some chunks into the cycle.
        std::atomic<bool> pulled{false};
        std::thread board([&, c] {
            // The board paces itself only on a handle that is being read; until the new
            // reader's first read, reports beyond its queue's 64 would be dropped (as the
            // kernel does), so the stream starts once the first one is through.
            kit.SendUsb(Chunk(static_cast<uint32_t>(c), 0));
            checker.WaitForChunk(c, 0, 3000ms);
            for (uint32_t seq = 1; !pulled.load(); ++seq) {
                kit.SendUsb(Chunk(static_cast<uint32_t>(c), seq));
            }
        });
        const bool flowing = checker.WaitForChunk(c, 1 + c % 10, 3000ms);
        kit.PlugUsb(false);
        pulled.store(true);
        board.join();
        if (!flowing) {
            ADD_FAILURE() << "cycle " << c << ": the traffic stopped or went wrong";
            break;
        }
        // The reader notices the unplug on its own; the next pass must find the link closed.
        if (!WaitUntil([&] { return !link->IsOpen(); }, 2000, 100us)) {
            ADD_FAILURE() << "cycle " << c << ": the reader did not notice the unplug";
            break;
        }
        ++completed;
    }
    const auto elapsed = std::chrono::steady_clock::now() - start;

    draining.store(false);
    usbRxSignal.Notify();
    consumer.join();

    EXPECT_EQ(completed, CYCLES);
    EXPECT_EQ(checker.faultCount, 0) << checker.faults.str();
    EXPECT_TRUE(checker.pending.empty());  // no torn report at the end
    EXPECT_EQ(kit.DroppedInputReports(), 0);
    EXPECT_LT(elapsed, 30s * TIME_SCALE);
    // One reader at a time: unplugged, the link holds no handle past its dead connection.
    kit.PlugUsb(true);
    ASSERT_EQ(link->EnsureOpen(), 1);
    EXPECT_EQ(kit.OpenHidHandles(), 2);
    link.reset();
    EXPECT_EQ(kit.OpenHidHandles(), 0);
}
