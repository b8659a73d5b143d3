// A recording fake of the HID platform: interfaces with chosen ids, every platform call
// logged in order, input reports queued by the test, writes that can fail on demand.
#pragma once

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/hid_device.h"

struct FakeInterface {
    std::string path;
    uint16_t vendor = 0;
    uint16_t product = 0;
    platform::HidCaps caps{9, 9};
    int opensAllowed = 99;  // later opens fail
};

// Every member takes the lock; devices share it.
class CFakeHid : public platform::IHidSystem {
  public:
    std::vector<std::string> EnumerateInterfaces() override {
        std::lock_guard<std::mutex> hold(mutex);
        calls.push_back("enumerate");
        std::vector<std::string> paths;
        for (const auto& item : interfaces) {
            paths.push_back(item.path);
        }
        return paths;
    }
    std::unique_ptr<platform::IHidDevice> Open(const std::string& path) override;

    // Test side. `change` runs under the lock; waiters are woken after it.
    void Change(const std::function<void()>& change) {
        std::lock_guard<std::mutex> hold(mutex);
        change();
        changed.notify_all();
    }
    // Waits, bounded, until the condition holds (evaluated under the lock).
    bool WaitFor(const std::function<bool()>& condition, int timeoutMs = 3000) {
        std::unique_lock<std::mutex> hold(mutex);
        return changed.wait_for(hold, std::chrono::milliseconds(timeoutMs), condition);
    }
    // The calls logged so far, reads left out unless asked for.
    std::vector<std::string> Calls(bool withReads = false) {
        std::lock_guard<std::mutex> hold(mutex);
        std::vector<std::string> out;
        std::copy_if(calls.begin(), calls.end(), std::back_inserter(out),
                     [&](const std::string& c) { return withReads || c.rfind("read", 0) != 0; });
        return out;
    }
    std::vector<std::vector<uint8_t>> Writes() {
        std::lock_guard<std::mutex> hold(mutex);
        return writes;
    }
    int OpenDevices() {
        std::lock_guard<std::mutex> hold(mutex);
        return openDevices;
    }
    int Count(const std::string& call) {
        const auto all = Calls(true);
        return static_cast<int>(std::count(all.begin(), all.end(), call));
    }

    // Guarded by mutex (use Change and WaitFor).
    std::vector<FakeInterface> interfaces;
    std::deque<std::vector<uint8_t>> inputs;
    std::vector<std::vector<uint8_t>> writes;
    bool readsFail = false;   // the board left: pending and later reads fail
    bool answerClose = true;  // the close command is answered with one input report
    int failingWrite = -1;    // index in `writes` of the write that fails
    int openDevices = 0;

  private:
    friend class CFakeDevice;
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<std::string> calls;
    std::map<std::string, int> opens;
};

class CFakeDevice : public platform::IHidDevice {
  public:
    CFakeDevice(CFakeHid& owner, FakeInterface info) : owner(owner), info(std::move(info)) {}
    ~CFakeDevice() override { Close(); }

    int GetAttributes(uint16_t& vendorId, uint16_t& productId) override {
        Log("attributes");
        vendorId = info.vendor;
        productId = info.product;
        return 1;
    }
    int GetCaps(platform::HidCaps& caps) override {
        Log("caps");
        caps = info.caps;
        return 1;
    }
    int ReadReport(uint8_t* buffer, uint32_t length, uint32_t& count) override {
        std::unique_lock<std::mutex> hold(owner.mutex);
        LogLocked("read");
        owner.changed.wait(hold, [&] { return Failed() || !owner.inputs.empty(); });
        if (Failed()) {
            return 0;
        }
        const std::vector<uint8_t> report = std::move(owner.inputs.front());
        owner.inputs.pop_front();
        owner.changed.notify_all();
        count = static_cast<uint32_t>(std::min<size_t>(report.size(), length));
        std::copy(report.begin(), report.begin() + count, buffer);
        return 1;
    }
    int WriteReport(const uint8_t* report, uint32_t length, uint32_t& written) override {
        std::lock_guard<std::mutex> hold(owner.mutex);
        LogLocked("write");
        if (static_cast<int>(owner.writes.size()) == owner.failingWrite) {
            owner.failingWrite = -1;
            return 0;
        }
        owner.writes.emplace_back(report, report + length);
        if (owner.answerClose && length >= 5 && std::equal(report + 1, report + 5, "\x03\x1BTt")) {
            owner.inputs.push_back({0, 1, 'C', 3, 4, 5, 6, 7, 8});
        }
        written = length;
        return 1;
    }
    void CancelRead() override {
        std::lock_guard<std::mutex> hold(owner.mutex);
        LogLocked("cancel");
        cancelled = true;
    }
    void Close() override {
        std::lock_guard<std::mutex> hold(owner.mutex);
        if (!closed) {
            LogLocked("close");
            closed = true;
            --owner.openDevices;
        }
    }

  private:
    bool Failed() const { return cancelled || closed || owner.readsFail; }
    void Log(const std::string& call) {
        std::lock_guard<std::mutex> hold(owner.mutex);
        LogLocked(call);
    }
    void LogLocked(const std::string& call) {
        owner.calls.push_back(call + " " + info.path);
        owner.changed.notify_all();
    }
    CFakeHid& owner;
    const FakeInterface info;
    bool cancelled = false;  // guarded by owner.mutex
    bool closed = false;     // guarded by owner.mutex
};

inline std::unique_ptr<platform::IHidDevice> CFakeHid::Open(const std::string& path) {
    std::lock_guard<std::mutex> hold(mutex);
    calls.push_back("open " + path);
    for (const auto& item : interfaces) {
        if (item.path == path && opens[path]++ < item.opensAllowed) {
            ++openDevices;
            return std::make_unique<CFakeDevice>(*this, item);
        }
    }
    return nullptr;
}
