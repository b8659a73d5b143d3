// WebHID behind the HID interface. Each open handle has a queue of its own that the pump
// fills from the device's input reports, so the link's read and write handles each see every
// report, as with the kernel's hidraw nodes.
#include "platform/web/web_hid.h"

#include <atomic>
#include <cstring>
#include <sstream>

#include "platform/web/web_pump.h"
#include "platform/web/web_queue.h"

namespace platform::web {
namespace {

// Reports the pump keeps for a handle that is not read, as hidraw keeps 64.
constexpr uint32_t QUEUED_REPORTS = 64;
constexpr int32_t OPEN_TIMEOUT_MS = 10000;
constexpr int32_t CLOSE_TIMEOUT_MS = 2000;
const char* const PATH_PREFIX = "webhid:";

thread_local HidOpenError lastOpenError;

uint32_t QueueCapacity(uint32_t reportLength) {
    uint32_t capacity = 1024;
    while (capacity < QUEUED_REPORTS * (reportLength + 1)) {
        capacity *= 2;
    }
    return capacity;
}

class CWebHidDevice : public IHidDevice {
  public:
    explicit CWebHidDevice(const CWebHidSystem::Listed& listed)
        : listed(listed),
          owned(std::make_unique<CPumpQueue>(QueueCapacity(listed.caps.inputReportByteLength))),
          queue(*owned) {}
    ~CWebHidDevice() override { Close(); }

    PumpQueue* Queue() { return queue.Shared(); }

    int GetAttributes(uint16_t& vendorId, uint16_t& productId) override {
        vendorId = listed.vendorId;
        productId = listed.productId;
        return 1;
    }

    int GetCaps(HidCaps& caps) override {
        caps = listed.caps;
        return 1;
    }

    int ReadReport(uint8_t* buffer, uint32_t length, uint32_t& count) override {
        count = 0;
        if (!queue.WaitBytes(-1)) {
            return 0;
        }
        // The pump publishes a whole record at once: its length, then the report.
        uint8_t size = 0;
        queue.Take(&size, 1);
        uint8_t record[256];
        queue.Take(record, size);
        count = size < length ? size : length;
        std::memcpy(buffer, record, count);
        return 1;
    }

    int WriteReport(const uint8_t* report, uint32_t length, uint32_t& written) override {
        written = 0;
        if (closed.load() != 0 || queue.State() == QUEUE_GONE || length == 0) {
            return 0;
        }
        PumpOp* op = NewOp(length);
        std::memcpy(OpBytes(op), report, length);
        palvex_pump_hid_write(listed.id, op, static_cast<int>(length));
        // As the kernel's write: it holds until the device takes the report or fails.
        if (FinishOp(op, -1, &closed) != 0) {
            return 0;
        }
        written = length;
        return 1;
    }

    void CancelRead() override { queue.Cancel(); }

    void Close() override {
        if (closed.exchange(1) != 0) {
            return;
        }
        queue.Cancel();
        PumpOp* op = NewOp();
        palvex_pump_hid_close(listed.id, queue.Shared(), op);
        // Until the pump has let go of the queue it may still write into it.
        if (FinishOp(op, CLOSE_TIMEOUT_MS) != 0) {
            (void)owned.release();  // left to the pump, which may yet write into it
        }
    }

  private:
    const CWebHidSystem::Listed listed;
    std::unique_ptr<CPumpQueue> owned;
    CPumpQueue& queue;
    std::atomic<int32_t> closed{0};
};

}  // namespace

std::vector<std::string> CWebHidSystem::EnumerateInterfaces() {
    std::string text(1024, '\0');
    int needed = palvex_pump_hid_list(text.data(), static_cast<int>(text.size()));
    if (needed > static_cast<int>(text.size())) {
        text.resize(needed);
        needed = palvex_pump_hid_list(text.data(), static_cast<int>(text.size()));
    }
    text.resize(needed < static_cast<int>(text.size()) ? needed : text.size());
    std::vector<std::string> paths;
    std::map<std::string, Listed> found;
    std::istringstream lines(text);
    Listed device;
    while (lines >> device.id >> device.vendorId >> device.productId >>
           device.caps.inputReportByteLength >> device.caps.outputReportByteLength) {
        const std::string path = PATH_PREFIX + std::to_string(device.id);
        paths.push_back(path);
        found[path] = device;
    }
    std::lock_guard<std::mutex> hold(mutex);
    listed = std::move(found);
    return paths;
}

bool CWebHidSystem::Find(const std::string& path, Listed& device) {
    std::lock_guard<std::mutex> hold(mutex);
    auto it = listed.find(path);
    if (it == listed.end()) {
        return false;
    }
    device = it->second;
    return true;
}

bool CWebHidSystem::ListedIds(const std::string& path, uint16_t& vendorId, uint16_t& productId) {
    Listed device;
    if (!Find(path, device)) {
        return false;
    }
    vendorId = device.vendorId;
    productId = device.productId;
    return true;
}

std::unique_ptr<IHidDevice> CWebHidSystem::Open(const std::string& path) {
    Listed device;
    if (!Find(path, device)) {
        lastOpenError = {OP_MISSING, "The device has gone", ""};
        return nullptr;
    }
    auto opened = std::make_unique<CWebHidDevice>(device);
    PumpOp* op = NewOp();
    palvex_pump_hid_open(device.id, opened->Queue(), op);
    std::string failure;
    const int32_t result = FinishOp(op, OPEN_TIMEOUT_MS, nullptr, &failure);
    if (result != 0) {
        lastOpenError = {result < 0 ? OP_FAILED : result,
                         result < 0 ? "The browser did not open the device in time" : failure,
                         "Close other tabs or programs that use the Kit, then plug it in again."};
        return nullptr;
    }
    return opened;
}

HidOpenError CWebHidSystem::LastOpenError() const {
    return lastOpenError;
}

}  // namespace platform::web
