// The USB and RS232 channel workers: each moves its channel's received bytes into
// receiveRing and its traffic sink, and sleeps on the platform while nothing arrives.
#include "bench/channel_workers.h"

#include <chrono>

#include "channel/byte_ring.h"
#include "channel/data_signal.h"
#include "hid/hid_link.h"
#include "serial/serial_link.h"

namespace {

// Set on the RS232 worker's thread while it retries a read whose failure it has reported.
thread_local bool t_quietBoxes = false;
// Set on a COM scan's thread: its boxes wait there for the page to show them.
thread_local std::vector<std::pair<std::string, std::string>>* t_heldBoxes = nullptr;

}  // namespace

bool WorkerControl::SleepUnlessStopped(uint32_t ms) {
    std::unique_lock<std::mutex> hold(wakeMutex);
    return wake.wait_for(hold, std::chrono::milliseconds(ms),
                         [this] { return stopRequested.load() == 1; });
}

void WorkerControl::RequestStop() {
    {
        std::lock_guard<std::mutex> hold(wakeMutex);
        stopRequested.store(1);
    }
    wake.notify_all();
    // After the store: a worker that sees this generation also sees the stop.
    if (dataSignal != nullptr) {
        dataSignal->Notify();
    }
}

void CWorkerBoxFilter::Show(const std::string& text, const std::string& caption) {
    if (t_quietBoxes || sink == nullptr) {
        return;
    }
    if (t_heldBoxes != nullptr) {
        t_heldBoxes->emplace_back(text, caption);
        return;
    }
    sink->Show(text, caption);
}

void CWorkerBoxFilter::ShowOwned(const std::string& text, const std::string& caption,
                                 QWidget* owner) {
    if (t_quietBoxes || sink == nullptr) {
        return;
    }
    if (t_heldBoxes != nullptr) {
        t_heldBoxes->emplace_back(text, caption);
        return;
    }
    sink->ShowOwned(text, caption, owner);
}

void CWorkerBoxFilter::SetThreadQuiet(bool quiet) {
    t_quietBoxes = quiet;
}

void CWorkerBoxFilter::SetThreadHeld(std::vector<std::pair<std::string, std::string>>* held) {
    t_heldBoxes = held;
}

int UsbWorker(WorkerControl& control) {
    uint8_t buffer[USB_DRAIN_BUFFER];
    for (;;) {
        // Taken before the stop check and before looking at the ring: a stop or a report that
        // comes after this moment raises the generation, so the wait below ends at once.
        const uint32_t seen = usbRxSignal.Generation();
        if (control.stopRequested.load() == 1) {
            break;
        }
        const uint32_t count = g_hidLink != nullptr ? DrainInput(buffer, USB_DRAIN_BUFFER) : 0;
        if (count == 0) {
            usbRxSignal.WaitSince(seen, USB_IDLE_WAIT_MS);
            continue;
        }
        // Only a full receiveRing loses a byte, and then only from the version reply; pausing
        // would hold up the view, so the worker goes straight on.
        receiveRing.PutAllWhenFree(buffer, count);
        if (ITrafficSink* sink = control.sink.load()) {
            sink->Received(buffer, count);
        }
    }
    control.running.store(0);
    return 0;
}

int Rs232Worker(WorkerControl& control) {
    uint8_t buffer[RS232_READ_BUFFER];
    bool failing = false;        // the last read failed and its box has been shown
    bool readyButEmpty = false;  // the last wait said input was ready
    // The rate over the last window or more: whether the channel is busy.
    bool busy = false;
    uint64_t windowBytes = 0;
    auto windowStart = std::chrono::steady_clock::now();
    while (control.stopRequested.load() != 1) {
        CSerialLink* link = control.link.load();
        if (link == nullptr) {
            control.SleepUnlessStopped(IDLE_WAIT_MS);
            continue;
        }
        uint32_t count = RS232_READ_BUFFER;
        CWorkerBoxFilter::SetThreadQuiet(failing);
        const int ok = link->Read(count, buffer);
        CWorkerBoxFilter::SetThreadQuiet(false);
        if (!ok) {
            if (link->PortGone()) {
                // It will never read again: leave it to the page, which owns it.
                control.portGone.store(1);
                if (control.onPortGone) {
                    control.onPortGone();
                }
                break;
            }
            // Shown once; retried quietly, not too often, until the port reads again.
            failing = true;
            control.SleepUnlessStopped(READ_RETRY_MS);
            continue;
        }
        failing = false;
        if (count == 0) {
            // A port that says "ready" yet gives nothing (a hung-up line can) must not make
            // the loop spin: then the worker sleeps instead of waiting on the port.
            if (readyButEmpty) {
                control.SleepUnlessStopped(IDLE_WAIT_MS);
                readyButEmpty = false;
            } else {
                readyButEmpty = link->WaitForInput(IDLE_WAIT_MS) != 0;
            }
            continue;
        }
        readyButEmpty = false;
        receiveRing.PutAllWhenFree(buffer, count);
        if (ITrafficSink* sink = control.sink.load()) {
            sink->Received(buffer, count);
        }
        windowBytes += count;
        const auto now = std::chrono::steady_clock::now();
        if (const auto windowMs =
                std::chrono::duration_cast<std::chrono::milliseconds>(now - windowStart).count();
            windowMs >= BUSY_WINDOW_MS) {
            busy = windowBytes * 1000 > CHANNEL_BUSY_RATE * static_cast<uint64_t>(windowMs);
            windowBytes = 0;
            windowStart = now;
        }
        if (count < RS232_READ_BUFFER) {
            // The port gave all it had: wait for more instead of asking again for nothing.
            if (busy) {
                control.SleepUnlessStopped(BUSY_READ_GAP_MS);
            }
            readyButEmpty = link->WaitForInput(IDLE_WAIT_MS) != 0;
        }
    }
    control.running.store(0);
    return 0;
}
