// A stream of numbered text lines the simulated Kit sends of its own accord at a chosen rate,
// on its own thread, so the page's scroll-back, folding and speed can be watched.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <thread>
#include <vector>

class CSimKit;

class CSimStream {
  public:
    enum class Channel { USB, SERIAL };

    explicit CSimStream(CSimKit& kit);  // the kit must outlive the stream
    ~CSimStream();                      // stops the stream and waits for its thread
    CSimStream(const CSimStream&) = delete;
    CSimStream& operator=(const CSimStream&) = delete;

    // Sends `count` bytes at `bytesPerSecond` on the channel, then stops by itself. The
    // bytes are lines "000001 The quick brown fox jumps over the lazy dog" ending in CR LF,
    // or the same lines run together without line ends. A stream still running is stopped
    // first. Any thread but the stream's own.
    void Start(Channel channel, uint64_t count, uint32_t bytesPerSecond, bool lineEnds);
    // Asks the stream to stop and returns at once; the thread ends after the send it is in
    // (a paced USB send waits at most the kit's pacing limit for a lagging reader).
    void Stop();
    bool Running() const { return running.load(); }
    uint64_t Sent() const { return sent.load(); }

    // Bytes [first, first + count) of a stream.
    static std::vector<uint8_t> Bytes(uint64_t first, size_t count, bool lineEnds);

  private:
    void Run(Channel channel, uint64_t count, uint32_t bytesPerSecond, bool lineEnds);
    void Join();

    CSimKit& kit;
    std::thread thread;
    std::mutex mutex;  // guards nothing but the wait below
    std::condition_variable stopped;
    std::atomic<bool> stopRequested{false};
    std::atomic<bool> running{false};
    std::atomic<uint64_t> sent{0};
};
