// The page's RS232 Sends, written on a thread of their own: WriteBlock waits until the line
// has sent the block (seconds when flow control holds it), and the GUI thread must go on
// showing what the board sends meanwhile.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

class CSerialLink;

class CRs232Sender {
  public:
    // Called on the sender's thread after each block, once the sender no longer holds its
    // link: the bytes the block had and whether WriteBlock sent them.
    using Done = std::function<void(size_t count, bool sent)>;

    // The thread starts here, with the page, not at the first Send: the page then has the
    // same threads from start to end, and a first Send does not wait for a thread to start.
    explicit CRs232Sender(Done done) : done(std::move(done)), thread(&CRs232Sender::Run, this) {}
    ~CRs232Sender();  // Stop
    CRs232Sender(const CRs232Sender&) = delete;
    CRs232Sender& operator=(const CRs232Sender&) = delete;

    // Queues a block for `link`, behind every block queued before it. The link must stay open
    // until Idle or Stop.
    void Post(CSerialLink* link, std::vector<uint8_t> bytes);
    // No block is queued or being written: the links given to Post are free again.
    bool Idle() const;
    // Drops the blocks not yet started and waits for the one being written, which its link's
    // write time-out bounds; then ends the thread. Post may start it again.
    void Stop();

  private:
    struct Block {
        CSerialLink* link;
        std::vector<uint8_t> bytes;
    };
    void Run();

    const Done done;
    mutable std::mutex mutex;
    std::condition_variable wake;
    std::deque<Block> queue;  // guarded by mutex
    bool writing = false;     // guarded by mutex: a block is inside WriteBlock
    bool stopping = false;    // guarded by mutex
    std::thread thread;       // started by the constructor (or a Post after Stop); joined by Stop
};
