// A stream of numbered text lines the simulated Kit sends of its own accord at a chosen rate.
#include "sim/sim_stream.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>

#include "sim/sim_kit.h"

namespace {

constexpr const char* LINE_TEXT = " The quick brown fox jumps over the lazy dog";
// The stream sends what is due every tick: often enough to look smooth in a view, seldom
// enough to cost nothing at idle rates.
constexpr int TICK_MS = 10;

std::string Line(uint64_t number, bool lineEnds) {
    char digits[24];
    std::snprintf(digits, sizeof digits, "%06llu",
                  static_cast<unsigned long long>(number % 1000000));
    return digits + std::string(LINE_TEXT) + (lineEnds ? "\r\n" : "");
}

}  // namespace

CSimStream::CSimStream(CSimKit& kit) : kit(kit) {}

CSimStream::~CSimStream() {
    Stop();
    Join();
}

std::vector<uint8_t> CSimStream::Bytes(uint64_t first, size_t count, bool lineEnds) {
    const uint64_t lineLength = Line(0, lineEnds).size();
    std::vector<uint8_t> bytes;
    bytes.reserve(count);
    uint64_t position = first;
    while (bytes.size() < count) {
        const std::string line = Line(position / lineLength + 1, lineEnds);
        const size_t from = static_cast<size_t>(position % lineLength);
        const size_t take = std::min(line.size() - from, count - bytes.size());
        bytes.insert(bytes.end(), line.begin() + static_cast<std::ptrdiff_t>(from),
                     line.begin() + static_cast<std::ptrdiff_t>(from + take));
        position += take;
    }
    return bytes;
}

void CSimStream::Start(Channel channel, uint64_t count, uint32_t bytesPerSecond, bool lineEnds) {
    Stop();
    Join();
    stopRequested.store(false);
    sent.store(0);
    running.store(true);
    thread = std::thread(&CSimStream::Run, this, channel, count,
                         std::max<uint32_t>(bytesPerSecond, 1), lineEnds);
}

void CSimStream::Stop() {
    {
        std::lock_guard<std::mutex> hold(mutex);
        stopRequested.store(true);
    }
    stopped.notify_all();
}

void CSimStream::Join() {
    if (thread.joinable()) {
        thread.join();
    }
}

void CSimStream::Run(Channel channel, uint64_t count, uint32_t bytesPerSecond, bool lineEnds) {
    using Clock = std::chrono::steady_clock;
    const Clock::time_point start = Clock::now();
    uint64_t done = 0;
    for (uint64_t tick = 1; done < count && !stopRequested.load(); ++tick) {
        // What is due by the end of this tick, counted from the start, so a late tick
        // catches up and the mean rate stays the one asked for.
        const Clock::time_point until = start + std::chrono::milliseconds(tick * TICK_MS);
        const uint64_t due =
            std::min(count, static_cast<uint64_t>(bytesPerSecond) * tick * TICK_MS / 1000);
        if (due > done) {
            const std::vector<uint8_t> bytes =
                Bytes(done, static_cast<size_t>(due - done), lineEnds);
            if (channel == Channel::USB) {
                kit.SendUsb(bytes);
            } else {
                kit.SendSerial(bytes);
            }
            done = due;
            sent.store(done);
        }
        if (done >= count) {
            break;
        }
        std::unique_lock<std::mutex> hold(mutex);
        stopped.wait_until(hold, until, [this] { return stopRequested.load(); });
    }
    running.store(false);
}
