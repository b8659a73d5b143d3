// The two channel workers: threads that carry the board's bytes from the USB and RS232
// links into receiveRing and the page's traffic sinks.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "channel/traffic_sink.h"
#include "platform/message_box.h"

class CDataSignal;
class CSerialLink;

// Bytes a worker takes per pass.
inline constexpr uint32_t USB_DRAIN_BUFFER = 256;
// A raw tty holds at most 4096 bytes for its reader: one read takes whatever has arrived, where
// 64-byte reads cost two system calls for every 64 bytes at high rates.
inline constexpr uint32_t RS232_READ_BUFFER = 4096;
// How long an idle RS232 worker waits on the port before it looks at stopRequested again.
// The port's wait cannot be woken, so this bounds the worker's stop; each wake-up costs CPU.
inline constexpr uint32_t IDLE_WAIT_MS = 50;
// The idle USB worker is woken at once by the reader's data signal and by its stop, so its
// wait only guards against a missed wake-up.
inline constexpr uint32_t USB_IDLE_WAIT_MS = 1000;
// Pause between quiet retries of a serial read that keeps failing.
inline constexpr uint32_t READ_RETRY_MS = 200;
// Above CHANNEL_BUSY_RATE bytes/s (ten times either line limit) nobody reads the rows as they
// pass and the views draw a few frames a second; the RS232 worker, once it has drained the
// port, then lets BUSY_READ_GAP_MS of bytes gather before it looks again, instead of waking
// for every few bytes the driver hands over. The rate is taken over BUSY_WINDOW_MS.
inline constexpr uint64_t CHANNEL_BUSY_RATE = 100000;
inline constexpr uint32_t BUSY_READ_GAP_MS = 5;
inline constexpr uint32_t BUSY_WINDOW_MS = 100;

// Shared between the page (GUI thread) and one worker.
struct WorkerControl {
    std::atomic<int32_t> stopRequested{0};
    std::atomic<int32_t> running{0};
    std::atomic<ITrafficSink*> sink{nullptr};  // gets every byte taken from the link
    std::atomic<CSerialLink*> link{nullptr};   // RS232 worker only
    // RS232 worker only: the port has gone (adapter unplugged) and the worker has ended; the
    // page closes the link and looks for a port again.
    std::atomic<int32_t> portGone{0};

    // RS232 worker only: called on the worker's thread once it has set portGone, so the page
    // need not wait for its next tick. Set before the worker starts.
    std::function<void()> onPortGone;

    // USB worker only: the signal it waits on for reports. Set before the worker starts.
    CDataSignal* dataSignal = nullptr;

    // Sleeps up to ms, or less when a stop is requested. True when a stop is requested.
    bool SleepUnlessStopped(uint32_t ms);
    // Sets stopRequested and wakes the worker, whether it sleeps in SleepUnlessStopped or
    // waits on its dataSignal.
    void RequestStop();

  private:
    std::mutex wakeMutex;
    std::condition_variable wake;
};

// Thread functions; each returns 0 when its loop has ended.
int UsbWorker(WorkerControl& control);
int Rs232Worker(WorkerControl& control);

// Message boxes of the serial link go through this. While the RS232 worker retries a read
// that has already been reported, boxes met on the worker's thread are dropped; everything
// else goes on to the real sink.
class CWorkerBoxFilter : public platform::IMessageBoxSink {
  public:
    explicit CWorkerBoxFilter(platform::IMessageBoxSink* sink) : sink(sink) {}
    void Show(const std::string& text, const std::string& caption) override;
    void ShowOwned(const std::string& text, const std::string& caption, QWidget* owner) override;
    // The calling thread's boxes are dropped while quiet.
    static void SetThreadQuiet(bool quiet);
    // While `held` is set, the calling thread's boxes are added to it (text, caption) instead,
    // for another thread to show later; null shows them again.
    static void SetThreadHeld(std::vector<std::pair<std::string, std::string>>* held);

  private:
    platform::IMessageBoxSink* sink;
};
