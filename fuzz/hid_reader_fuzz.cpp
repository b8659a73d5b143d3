// libFuzzer target of the HID reader's input-report handling: the bytes become input
// reports (with the count the device claims and the report length it announced) read by the
// real reader thread; what reaches usbRxRing must be exactly each report's payload, bounded
// by the bytes that arrived and by its length byte, in order, nothing doubled.
#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "channel/board_commands.h"
#include "channel/byte_ring.h"
#include "hid/hid_link.h"
#include "platform/hid_device.h"

namespace {

// One report as the device hands it over: the bytes it writes into the reader's buffer and
// the count it claims (which may exceed both them and the buffer).
struct FakeReport {
    std::vector<uint8_t> bytes;
    uint32_t claimedCount = 0;
};

// The reports of one input, shared by the harness and the read handle of one link. A read
// waits for the next report; the reader waiting on an empty queue has delivered all before.
struct ReportQueue {
    std::mutex mutex;
    std::condition_variable changed;
    std::deque<FakeReport> reports;
    bool readerWaiting = false;
};

class CFuzzDevice : public platform::IHidDevice {
  public:
    CFuzzDevice(std::shared_ptr<ReportQueue> queue, uint16_t inputLength)
        : queue(std::move(queue)), inputLength(inputLength) {}
    int GetAttributes(uint16_t& vendorId, uint16_t& productId) override {
        vendorId = KIT_VENDOR_ID;
        productId = KIT_PRODUCT_ID;
        return 1;
    }
    int GetCaps(platform::HidCaps& caps) override {
        caps.inputReportByteLength = inputLength;
        caps.outputReportByteLength = 9;
        return 1;
    }
    int ReadReport(uint8_t* buffer, uint32_t length, uint32_t& count) override {
        std::unique_lock<std::mutex> hold(queue->mutex);
        queue->readerWaiting = true;
        queue->changed.notify_all();
        queue->changed.wait(hold, [this] { return !queue->reports.empty(); });
        queue->readerWaiting = false;
        const FakeReport& report = queue->reports.front();
        // A device never writes past the length it was given.
        std::copy_n(report.bytes.begin(), std::min<size_t>(report.bytes.size(), length), buffer);
        count = report.claimedCount;
        queue->reports.pop_front();
        return 1;
    }
    int WriteReport(const uint8_t*, uint32_t length, uint32_t& written) override {
        written = length;
        return 1;
    }
    void CancelRead() override {}
    void Close() override {}

  private:
    std::shared_ptr<ReportQueue> queue;
    const uint16_t inputLength;
};

// One Kit whose handles all share one report queue.
class CFuzzHid : public platform::IHidSystem {
  public:
    explicit CFuzzHid(uint16_t inputLength) : inputLength(inputLength) {}
    std::vector<std::string> EnumerateInterfaces() override { return {"/fuzz/hidraw0"}; }
    std::unique_ptr<platform::IHidDevice> Open(const std::string&) override {
        return std::make_unique<CFuzzDevice>(queue, inputLength);
    }
    const std::shared_ptr<ReportQueue> queue = std::make_shared<ReportQueue>();

  private:
    const uint16_t inputLength;
};

// One connected link per announced report length, kept for the whole run: a reader thread
// per input would cost more than the input, and the close sequence pauses a second. Only
// the link of the current input has reports; the others wait in a read.
struct FuzzChannel {
    std::unique_ptr<CFuzzHid> hid;
    CHidLink* link = nullptr;  // never destroyed
};
std::map<uint16_t, FuzzChannel>* g_channels = nullptr;

FuzzChannel& Channel(uint16_t inputLength) {
    FuzzChannel& channel = (*g_channels)[inputLength];
    if (channel.link == nullptr) {
        channel.hid = std::make_unique<CFuzzHid>(inputLength);
        channel.link = new CHidLink(*channel.hid);
        if (channel.link->FindAndOpen() != 1) {
            std::abort();
        }
    }
    return channel;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    g_channels = new std::map<uint16_t, FuzzChannel>;
    return 0;
}

// Input: byte 0 picks the input report length the device announces (2..72; a device that
// announces less cannot carry the framing and the link refuses it); then reports, each a
// count byte (the count the device claims; 0xFF: the announced length) and that many bytes,
// cut short by the input's end.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) {
        return 0;
    }
    const uint16_t inputLength = 2 + data[0] % 71;
    std::deque<FakeReport> reports;
    std::vector<uint8_t> expected;
    // The reader's buffer keeps what the last report left past a shorter one.
    static std::map<uint16_t, std::vector<uint8_t>> buffers;
    std::vector<uint8_t>& buffer = buffers[inputLength];
    buffer.resize(std::max<size_t>(inputLength, 2), 0);
    size_t at = 1;
    while (at < size) {
        FakeReport report;
        report.claimedCount = data[at] == 0xFF ? inputLength : data[at];
        ++at;
        const size_t take = std::min<size_t>(report.claimedCount, size - at);
        report.bytes.assign(data + at, data + at + take);
        at += take;
        // Model: a report delivers min(length byte, arrived - 2) bytes, counting only what
        // arrived within the announced length; a length byte of 0 or >= 0x80 delivers none.
        std::copy_n(report.bytes.begin(), std::min<size_t>(take, inputLength), buffer.begin());
        const uint32_t arrived = std::min<uint32_t>(report.claimedCount, inputLength);
        if (arrived > 2) {
            const int8_t stated = static_cast<int8_t>(buffer[1]);
            if (stated > 0) {
                const uint32_t payload = std::min<uint32_t>(stated, arrived - 2);
                expected.insert(expected.end(), buffer.begin() + 2, buffer.begin() + 2 + payload);
            }
        }
        reports.push_back(std::move(report));
    }

    FuzzChannel& channel = Channel(inputLength);
    ReportQueue& queue = *channel.hid->queue;
    {
        std::lock_guard<std::mutex> hold(queue.mutex);
        queue.reports = std::move(reports);
        queue.changed.notify_all();
    }
    // Drain while the reader works; it has delivered everything once it waits on an empty
    // queue again.
    std::vector<uint8_t> delivered;
    uint8_t chunk[256];
    for (;;) {
        bool done;
        {
            std::unique_lock<std::mutex> hold(queue.mutex);
            done = queue.changed.wait_for(hold, std::chrono::milliseconds(1), [&] {
                return queue.reports.empty() && queue.readerWaiting;
            });
        }
        uint32_t count;
        do {
            count = DrainInput(chunk, sizeof chunk);
            delivered.insert(delivered.end(), chunk, chunk + count);
        } while (count > 0);
        if (delivered.size() > expected.size()) {
            std::abort();  // more bytes than the reports carried
        }
        if (done && usbRxRing.Count() == 0) {
            break;
        }
    }
    if (!channel.link->IsOpen() || delivered != expected) {
        std::abort();  // a byte lost, doubled or out of order, or the reader gave up
    }
    return 0;
}
