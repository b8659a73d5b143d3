// The simulated Kit's virtual HID system: enumeration, open by path, and handles that behave
// like open hidraw descriptors (own input queue each, blocking reads that can be woken).
#include <errno.h>

#include <algorithm>
#include <chrono>
#include <cstring>

#include "sim/sim_devices.h"

namespace sim {

namespace {

// Why the calling thread's last Open failed.
thread_local platform::HidOpenError t_lastOpenError;

class CSimHidDevice : public platform::IHidDevice {
  public:
    CSimHidDevice(std::shared_ptr<CSimState> state, HidDeviceInfo info,
                  std::shared_ptr<HidQueue> queue)
        : state(std::move(state)), info(std::move(info)), queue(std::move(queue)) {}
    ~CSimHidDevice() override { Close(); }

    int GetAttributes(uint16_t& vendorId, uint16_t& productId) override {
        std::lock_guard<std::mutex> hold(state->mutex);
        if (!UsableLocked()) {
            return 0;
        }
        vendorId = info.vendorId;
        productId = info.productId;
        return 1;
    }

    int GetCaps(platform::HidCaps& caps) override {
        std::lock_guard<std::mutex> hold(state->mutex);
        if (!UsableLocked()) {
            return 0;
        }
        caps = info.caps;
        return 1;
    }

    int ReadReport(uint8_t* buffer, uint32_t length, uint32_t& count) override {
        count = 0;
        std::vector<uint8_t> report;
        {
            std::unique_lock<std::mutex> hold(state->mutex);
            if (queue->closed || queue->cancelled) {
                return 0;
            }
            queue->reading = true;
            state->hidChanged.wait(hold, [&] {
                return !queue->reports.empty() || !UsableLocked() || queue->cancelled;
            });
            // Like hidraw after an unplug: what was queued is still read, then reads fail.
            if (queue->closed || queue->cancelled || queue->reports.empty()) {
                errno = queue->gone ? EIO : EBADF;
                return 0;
            }
            report = std::move(queue->reports.front());
            queue->reports.pop_front();
        }
        // A paced sender may be waiting for this room.
        state->hidChanged.notify_all();
        // Like read() on hidraw: a short buffer gets the start of the report.
        count = std::min<uint32_t>(length, static_cast<uint32_t>(report.size()));
        std::memcpy(buffer, report.data(), count);
        return 1;
    }

    int WriteReport(const uint8_t* report, uint32_t length, uint32_t& written) override {
        written = 0;
        {
            std::unique_lock<std::mutex> hold(state->mutex);
            // The device takes reports no longer than its output report, and at least the id.
            if (!UsableLocked() || length == 0 || length > info.caps.outputReportByteLength) {
                errno = UsableLocked() ? EINVAL : ENODEV;
                return 0;
            }
            if (info.isKit && state->outStalled) {
                // Like the kernel's write to a board that stopped reading: a few reports are
                // queued, the next write waits for room and gives up after about 5 s.
                // Closing the handle meanwhile does not end it: the write holds the file.
                // An unplug does.
                const uint64_t plug = state->plugGeneration;
                const bool room = state->hidChanged.wait_for(
                    hold, std::chrono::milliseconds(STALLED_WRITE_MS), [&] {
                        return state->plugGeneration != plug || !state->outStalled ||
                               state->stalledOut.size() < STALLED_OUT_REPORTS;
                    });
                if (state->plugGeneration != plug) {
                    errno = ENODEV;
                    return 0;
                }
                if (!room) {
                    errno = ETIMEDOUT;
                    return 0;
                }
            }
            if (info.isKit && state->outStalled) {
                state->stalledOut.emplace_back(report, report + length);
            } else if (info.isKit) {
                state->BoardTakeReportLocked(report, length);
            }
            written = length;
        }
        if (info.isKit) {
            state->NotifyObserver();
        }
        return 1;
    }

    void CancelRead() override {
        {
            std::lock_guard<std::mutex> hold(state->mutex);
            queue->cancelled = true;
        }
        state->hidChanged.notify_all();
    }

    void Close() override {
        {
            std::lock_guard<std::mutex> hold(state->mutex);
            if (queue->closed) {
                return;
            }
            queue->closed = true;
            queue->reports.clear();
            auto& open = state->openQueues;
            open.erase(std::remove(open.begin(), open.end(), queue), open.end());
        }
        state->hidChanged.notify_all();
    }

  private:
    bool UsableLocked() const { return !queue->closed && !queue->gone; }

    std::shared_ptr<CSimState> state;
    const HidDeviceInfo info;
    const std::shared_ptr<HidQueue> queue;
};

}  // namespace

std::vector<std::string> CSimHidSystem::EnumerateInterfaces() {
    std::lock_guard<std::mutex> hold(state->mutex);
    std::vector<std::string> paths;
    for (const auto& device : state->PresentDevicesLocked()) {
        paths.push_back(device.path);
    }
    return paths;
}

bool CSimHidSystem::ListedIds(const std::string& path, uint16_t& vendorId, uint16_t& productId) {
    std::lock_guard<std::mutex> hold(state->mutex);
    for (const auto& device : state->PresentDevicesLocked()) {
        if (device.path == path) {
            vendorId = device.vendorId;
            productId = device.productId;
            return true;
        }
    }
    return false;
}

std::unique_ptr<platform::IHidDevice> CSimHidSystem::Open(const std::string& path) {
    std::lock_guard<std::mutex> hold(state->mutex);
    t_lastOpenError = {};
    for (const auto& device : state->PresentDevicesLocked()) {
        if (device.path != path) {
            continue;
        }
        if (device.isKit && state->usbAccessDenied) {
            // As on a desktop without the udev rule.
            t_lastOpenError = {EACCES, "Permission denied",
                               "Install the udev rule 70-palvex-kit.rules (see the README), then "
                               "unplug the KIT and plug it in again."};
            return nullptr;
        }
        auto queue = std::make_shared<HidQueue>();
        queue->isKit = device.isKit;
        state->openQueues.push_back(queue);
        return std::make_unique<CSimHidDevice>(state, device, queue);
    }
    t_lastOpenError = {ENOENT, "No such file or directory", ""};
    return nullptr;
}

platform::HidOpenError CSimHidSystem::LastOpenError() const {
    return t_lastOpenError;
}

}  // namespace sim
