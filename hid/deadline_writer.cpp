// Output reports written on a thread of their own, waited for at most a deadline.
#include "hid/deadline_writer.h"

#include <condition_variable>
#include <mutex>
#include <system_error>
#include <utility>
#include <vector>

struct CDeadlineWriter::Shared {
    explicit Shared(std::unique_ptr<platform::IHidDevice> device) : device(std::move(device)) {}

    const std::unique_ptr<platform::IHidDevice> device;
    std::mutex mutex;
    std::condition_variable changed;
    // Guarded by mutex.
    std::vector<uint8_t> report;
    bool pending = false;   // a report waits for the thread
    bool writing = false;   // the thread is inside WriteReport
    uint64_t finished = 0;  // writes completed so far
    int result = 0;         // of the latest completed write
    uint32_t written = 0;
    bool stop = false;
    // The latest WriteReport gave up at its deadline: decided there, once, so a write that
    // ends a moment later still counts as held for the caller that asks.
    bool missedDeadline = false;
};

CDeadlineWriter::CDeadlineWriter(std::unique_ptr<platform::IHidDevice> device,
                                 std::chrono::milliseconds deadline)
    : deadline(deadline), shared(std::make_shared<Shared>(std::move(device))) {
    // Started now, not with the first write: starting a thread can take longer than the
    // deadline on a loaded machine (and in a browser, where each thread is a worker), and the
    // first write is the version request, which must not fail for it.
    try {
        thread = std::thread(&CDeadlineWriter::Run, shared);
    } catch (const std::system_error&) {
        // WriteReport tries again.
    }
}

CDeadlineWriter::~CDeadlineWriter() {
    bool stuck;
    {
        std::lock_guard<std::mutex> hold(shared->mutex);
        shared->stop = true;
        stuck = shared->pending || shared->writing;
    }
    shared->changed.notify_all();
    shared->device->Close();
    if (!thread.joinable()) {
        return;
    }
    if (stuck) {
        // The platform may hold the write for seconds yet; the thread ends after it and
        // frees the device then.
        thread.detach();
    } else {
        thread.join();
    }
}

void CDeadlineWriter::Run(std::shared_ptr<Shared> shared) {
    std::unique_lock<std::mutex> hold(shared->mutex);
    for (;;) {
        shared->changed.wait(hold, [&] { return shared->pending || shared->stop; });
        if (!shared->pending) {
            return;
        }
        const std::vector<uint8_t> report = std::move(shared->report);
        shared->pending = false;
        shared->writing = true;
        hold.unlock();
        uint32_t written = 0;
        const int result = shared->device->WriteReport(
            report.data(), static_cast<uint32_t>(report.size()), written);
        hold.lock();
        shared->writing = false;
        shared->result = result;
        shared->written = written;
        ++shared->finished;
        shared->changed.notify_all();
    }
}

int CDeadlineWriter::WriteReport(const uint8_t* report, uint32_t length, uint32_t& written) {
    written = 0;
    std::unique_lock<std::mutex> hold(shared->mutex);
    if (shared->stop || shared->pending || shared->writing) {
        return 0;  // closed, or an earlier write is still held by the platform
    }
    if (!thread.joinable()) {
        try {
            thread = std::thread(&CDeadlineWriter::Run, shared);
        } catch (const std::system_error&) {
            return 0;
        }
    }
    shared->missedDeadline = false;
    shared->report.assign(report, report + length);
    shared->pending = true;
    const uint64_t target = shared->finished + 1;
    shared->changed.notify_all();
    if (!shared->changed.wait_for(hold, deadline, [&] { return shared->finished >= target; })) {
        shared->missedDeadline = true;
        return 0;
    }
    written = shared->written;
    return shared->result;
}

bool CDeadlineWriter::Held() const {
    std::lock_guard<std::mutex> hold(shared->mutex);
    return !shared->stop && shared->missedDeadline;
}

int CDeadlineWriter::GetAttributes(uint16_t& vendorId, uint16_t& productId) {
    return shared->device->GetAttributes(vendorId, productId);
}

int CDeadlineWriter::GetCaps(platform::HidCaps& caps) {
    return shared->device->GetCaps(caps);
}

int CDeadlineWriter::ReadReport(uint8_t* buffer, uint32_t length, uint32_t& count) {
    return shared->device->ReadReport(buffer, length, count);
}

void CDeadlineWriter::CancelRead() {
    shared->device->CancelRead();
}

void CDeadlineWriter::Close() {
    {
        std::lock_guard<std::mutex> hold(shared->mutex);
        shared->stop = true;
    }
    shared->changed.notify_all();
    shared->device->Close();
}
