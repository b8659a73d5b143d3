// A recording fake of the HID platform: interfaces with chosen ids, every platform call
// logged in order, input reports queued by the test, writes that can fail on demand.
#pragma once

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
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
    bool openFails = false;
    bool secondOpenFails = false;  // the first open succeeds, later ones fail
};

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

    // Test side; every member takes the lock.
    void SetInterfaces(std::vector<FakeInterface> list) {
        std::lock_guard<std::mutex> hold(mutex);
        interfaces = std::move(list);
    }
    void PushReport(std::vector<uint8_t> report) {
        std::lock_guard<std::mutex> hold(mutex);
        inputs.push_back(std::move(report));
        changed.notify_all();
    }
    // The board leaves: pending and later reads fail.
    void FailReads() {
        std::lock_guard<std::mutex> hold(mutex);
        readsFail = true;
        changed.notify_all();
    }
    // The write with this number (0 = the next one) fails.
    void FailWrite(int fromNow) {
        std::lock_guard<std::mutex> hold(mutex);
        failingWrite = static_cast<int>(writes.size()) + fromNow;
    }
    void SetAnswerClose(bool answer) {
        std::lock_guard<std::mutex> hold(mutex);
        answerClose = answer;
    }
    // The calls logged so far, reads left out unless asked for.
    std::vector<std::string> Calls(bool withReads = false) {
        std::lock_guard<std::mutex> hold(mutex);
        std::vector<std::string> out;
        for (const auto& call : calls) {
            if (withReads || call.rfind("read", 0) != 0) {
                out.push_back(call);
            }
        }
        return out;
    }
    int Count(const std::string& call) {
        std::lock_guard<std::mutex> hold(mutex);
        return static_cast<int>(std::count(calls.begin(), calls.end(), call));
    }
    std::vector<std::vector<uint8_t>> Writes() {
        std::lock_guard<std::mutex> hold(mutex);
        return writes;
    }
    int OpenDevices() {
        std::lock_guard<std::mutex> hold(mutex);
        return openDevices;
    }
    // Waits, bounded, until the condition holds (evaluated under the lock).
    bool WaitFor(const std::function<bool()>& condition, int timeoutMs = 3000) {
        std::unique_lock<std::mutex> hold(mutex);
        return changed.wait_for(hold, std::chrono::milliseconds(timeoutMs), condition);
    }
    bool WaitForPendingAtMost(size_t reports, int timeoutMs = 3000) {
        return WaitFor([&] { return inputs.size() <= reports; }, timeoutMs);
    }
    bool WaitForCall(const std::string& call, int timeoutMs = 3000) {
        return WaitFor([&] { return std::count(calls.begin(), calls.end(), call) > 0; }, timeoutMs);
    }

  private:
    friend class CFakeDevice;
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<FakeInterface> interfaces;
    std::vector<std::string> calls;
    std::deque<std::vector<uint8_t>> inputs;
    std::vector<std::vector<uint8_t>> writes;
    std::vector<std::string> opened;  // paths opened at least once
    bool readsFail = false;
    bool answerClose = true;
    int failingWrite = -1;
    int openDevices = 0;
};

class CFakeDevice : public platform::IHidDevice {
  public:
    CFakeDevice(CFakeHid& owner, FakeInterface info) : owner(owner), info(std::move(info)) {}
    ~CFakeDevice() override { Close(); }

    int GetAttributes(uint16_t& vendorId, uint16_t& productId) override {
        Log("attributes " + info.path);
        vendorId = info.vendor;
        productId = info.product;
        return 1;
    }
    int GetCaps(platform::HidCaps& caps) override {
        Log("caps " + info.path);
        caps = info.caps;
        return 1;
    }
    int ReadReport(uint8_t* buffer, uint32_t length, uint32_t& count) override {
        std::unique_lock<std::mutex> hold(owner.mutex);
        owner.calls.push_back("read " + info.path);
        owner.changed.notify_all();
        owner.changed.wait(
            hold, [&] { return cancelled || closed || owner.readsFail || !owner.inputs.empty(); });
        if (cancelled || closed || owner.readsFail) {
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
        owner.calls.push_back("write " + info.path);
        if (static_cast<int>(owner.writes.size()) == owner.failingWrite) {
            owner.failingWrite = -1;
            return 0;
        }
        owner.writes.emplace_back(report, report + length);
        // The close command is answered with one input report.
        if (owner.answerClose && length >= 5 && report[1] == 3 && report[2] == 0x1B &&
            report[3] == 0x54 && report[4] == 0x74) {
            owner.inputs.push_back({0, 1, 'C', 3, 4, 5, 6, 7, 8});
        }
        owner.changed.notify_all();
        written = length;
        return 1;
    }
    void CancelRead() override {
        std::lock_guard<std::mutex> hold(owner.mutex);
        owner.calls.push_back("cancel " + info.path);
        cancelled = true;
        owner.changed.notify_all();
    }
    void Close() override {
        std::lock_guard<std::mutex> hold(owner.mutex);
        if (closed) {
            return;
        }
        closed = true;
        owner.calls.push_back("close " + info.path);
        --owner.openDevices;
        owner.changed.notify_all();
    }

  private:
    void Log(const std::string& call) {
        std::lock_guard<std::mutex> hold(owner.mutex);
        owner.calls.push_back(call);
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
        if (item.path != path) {
            continue;
        }
        const bool again = std::count(opened.begin(), opened.end(), path) > 0;
        if (item.openFails || (again && item.secondOpenFails)) {
            return nullptr;
        }
        opened.push_back(path);
        ++openDevices;
        return std::make_unique<CFakeDevice>(*this, item);
    }
    return nullptr;
}
