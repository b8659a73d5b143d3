// The RS232 sender's thread: takes the queued blocks in order and writes each one whole.
#include "bench/rs232_sender.h"

#include "serial/serial_link.h"

CRs232Sender::~CRs232Sender() {
    Stop();
}

void CRs232Sender::Post(CSerialLink* link, std::vector<uint8_t> bytes) {
    {
        std::lock_guard<std::mutex> hold(mutex);
        queue.push_back({link, std::move(bytes)});
        stopping = false;
    }
    if (!thread.joinable()) {
        thread = std::thread(&CRs232Sender::Run, this);
    }
    wake.notify_one();
}

bool CRs232Sender::Idle() const {
    std::lock_guard<std::mutex> hold(mutex);
    return queue.empty() && !writing;
}

void CRs232Sender::Stop() {
    {
        std::lock_guard<std::mutex> hold(mutex);
        queue.clear();
        stopping = true;
    }
    wake.notify_one();
    if (thread.joinable()) {
        thread.join();
    }
}

void CRs232Sender::Run() {
    std::unique_lock<std::mutex> hold(mutex);
    for (;;) {
        wake.wait(hold, [this] { return stopping || !queue.empty(); });
        if (stopping) {
            return;
        }
        Block block = std::move(queue.front());
        queue.pop_front();
        writing = true;
        hold.unlock();
        const bool sent = block.link->WriteBlock(static_cast<uint32_t>(block.bytes.size()),
                                                 block.bytes.data()) != 0;
        hold.lock();
        writing = false;
        hold.unlock();
        if (done) {
            done(block.bytes.size(), sent);
        }
        hold.lock();
    }
}
