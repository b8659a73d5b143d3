// The simulated Kit's board model: what it does with each output report, and how its input
// reports and line bytes reach the host's open handles.
#include <algorithm>

#include "sim/sim_state.h"

namespace sim {

namespace {

// The observer calls this thread is inside, per state, so SetObserver from within an
// observer does not wait for itself.
thread_local std::vector<const CSimState*> t_observerCalls;

}  // namespace

CSimState::CSimState() {
    // A fresh port's line settings before anyone programs it.
    lineState.baudRate = 9600;
}

std::vector<HidDeviceInfo> CSimState::PresentDevicesLocked() const {
    // Other interfaces come first, so discovery has to look past them: a keyboard with its
    // 8-byte boot report and 1-byte LED report, and a sibling product of the Kit's vendor.
    std::vector<HidDeviceInfo> devices = {
        {"/sim/hidraw0", 0x046D, 0xC31C, {9, 2}, false},
        {"/sim/hidraw1", KIT_VENDOR_ID, 0x0033, {65, 65}, false},
    };
    if (usbPlugged) {
        devices.push_back(
            {KIT_PATH,
             KIT_VENDOR_ID,
             KIT_PRODUCT_ID,
             {static_cast<uint16_t>(KIT_REPORT_BYTES), static_cast<uint16_t>(KIT_REPORT_BYTES)},
             true});
    }
    return devices;
}

void CSimState::BoardTakeReportLocked(const uint8_t* report, uint32_t length) {
    outputReports.emplace_back(report, report + length);
    if (outputReports.size() > RECORDED_REPORTS) {
        outputReports.pop_front();
    }
    const auto answers = board.TakeReport(report, length);
    if (board.lastTaken == Taken::DATA) {
        usbDataReceived.insert(usbDataReceived.end(), report + 2, report + 2 + report[1]);
        while (usbDataReceived.size() > RECORDED_SERIAL_BYTES) {
            usbDataReceived.pop_front();
        }
    } else if (board.lastTaken != Taken::NOTHING) {
        commands.push_back(board.lastTaken);
        if (commands.size() > RECORDED_COMMANDS) {
            commands.pop_front();
        }
    }
    for (const auto& answer : answers) {
        DeliverLocked(answer.data(), static_cast<uint32_t>(answer.size()));
    }
}

void CSimState::DeliverLocked(const uint8_t* payload, uint32_t count) {
    if (!usbPlugged) {
        return;
    }
    std::vector<uint8_t> report(KIT_REPORT_BYTES, 0);
    report[1] = static_cast<uint8_t>(count);
    std::copy(payload, payload + count, report.begin() + 2);
    for (const auto& queue : openQueues) {
        if (!queue->isKit || queue->gone) {
            continue;
        }
        if (queue->reports.size() >= HID_QUEUE_REPORTS) {
            // Only losses on a handle somebody reads count; nobody reads a write handle.
            if (queue->reading) {
                ++droppedInputReports;
            }
            continue;
        }
        queue->reports.push_back(report);
    }
    hidChanged.notify_all();
}

void CSimState::PutOnLineLocked(const uint8_t* bytes, size_t count) {
    // With no port open the line leads nowhere.
    if (!serialConnected || serialOwner == nullptr) {
        return;
    }
    for (size_t i = 0; i < count; ++i) {
        if (lineToHost.size() >= LINE_BUFFER_BYTES) {
            ++droppedSerialBytes;
            continue;
        }
        lineToHost.push_back(bytes[i]);
    }
    lineChanged.notify_all();
}

void CSimState::RecordSerialLocked(const uint8_t* bytes, size_t count) {
    serialReceived.insert(serialReceived.end(), bytes, bytes + count);
    while (serialReceived.size() > RECORDED_SERIAL_BYTES) {
        serialReceived.pop_front();
    }
}

bool CSimState::ReadersHaveRoomLocked() const {
    return std::all_of(openQueues.begin(), openQueues.end(), [](const auto& queue) {
        return !queue->isKit || queue->gone || !queue->reading ||
               queue->reports.size() < HID_QUEUE_REPORTS;
    });
}

void CSimState::UnplugLocked() {
    if (!usbPlugged) {
        return;
    }
    usbPlugged = false;
    ++plugGeneration;
    // Like a hung-up hidraw node: what was queued can still be read, every other call
    // fails. Reports the board had not taken yet go with it.
    for (const auto& queue : openQueues) {
        if (queue->isKit) {
            queue->gone = true;
        }
    }
    stalledOut.clear();
    hidChanged.notify_all();
}

void CSimState::NotifyObserver() {
    std::function<void()> call;
    {
        std::lock_guard<std::mutex> hold(observerMutex);
        if (!observer) {
            return;
        }
        call = observer;
        ++observerCalls;
    }
    t_observerCalls.push_back(this);
    call();
    t_observerCalls.pop_back();
    {
        std::lock_guard<std::mutex> hold(observerMutex);
        --observerCalls;
    }
    observerIdle.notify_all();
}

void CSimState::SetObserver(std::function<void()> newObserver) {
    std::function<void()> old;
    std::unique_lock<std::mutex> hold(observerMutex);
    old = std::move(observer);
    observer = std::move(newObserver);
    // Once this returns the old observer runs nowhere, so its owner may go away.
    const auto own = std::count(t_observerCalls.begin(), t_observerCalls.end(), this);
    observerIdle.wait(hold, [&] { return observerCalls <= own; });
    hold.unlock();
    // The old function object dies outside the lock, in case its captures do work.
    old = nullptr;
}

}  // namespace sim
