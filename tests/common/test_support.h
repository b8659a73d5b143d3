// Pieces every test folder may use: time bounds that stretch under the sanitizers, byte
// streams whose every byte tells its place, bounded polling, draining the USB input, and one
// recording message-box sink.
#pragma once

#include <QCoreApplication>
#include <QString>
#include <QThread>
#include <QWidget>
#include <chrono>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "channel/data_signal.h"
#include "hid/hid_link.h"
#include "platform/message_box.h"

// Sanitizers make everything several times slower: their trees stretch the time limits, the
// plain tree checks the real ones.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
inline constexpr int TIME_SCALE = 3;
#else
inline constexpr int TIME_SCALE = 1;
#endif

using Bytes = std::vector<uint8_t>;

// Printable bytes, one character each in a view; byte k of a stream is Printable(k), so any
// run of them shows where it came from (modulo 94).
inline uint8_t Printable(size_t position) {
    return static_cast<uint8_t>(0x21 + position % 94);
}
inline Bytes Stream(size_t first, size_t count) {
    Bytes bytes(count);
    for (size_t i = 0; i < count; ++i) {
        bytes[i] = Printable(first + i);
    }
    return bytes;
}
inline QString Latin1(const Bytes& bytes) {
    return QString::fromLatin1(reinterpret_cast<const char*>(bytes.data()),
                               static_cast<qsizetype>(bytes.size()));
}

// Polls `done` every `poll` for at most timeoutMs, for what nothing signals to a test (device
// nodes, a flag, a thread going to sleep); true once it holds.
inline bool WaitUntil(const std::function<bool()>& done, int timeoutMs,
                      std::chrono::microseconds poll = std::chrono::milliseconds(10)) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!done()) {
        if (std::chrono::steady_clock::now() >= deadline) {
            return false;
        }
        std::this_thread::sleep_for(poll);
    }
    return true;
}

// Drains usbRxRing as the USB worker does, sleeping on the reader's signal in between, until
// `wanted` bytes came or timeoutMs passed.
inline Bytes DrainUsbInput(size_t wanted, int timeoutMs) {
    Bytes got;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (got.size() < wanted && std::chrono::steady_clock::now() < deadline) {
        const uint32_t seen = usbRxSignal.Generation();
        uint8_t buffer[256];
        const uint32_t count = DrainInput(buffer, sizeof buffer);
        got.insert(got.end(), buffer, buffer + count);
        if (count == 0) {
            usbRxSignal.WaitSince(seen, 20);
        }
    }
    return got;
}

// Records what the user was shown, in order, as "<caption>:<text>" for a box (with its
// owner; null: the main window) and whatever else a test adds ("notice:<text>"). Returns at
// once, on whatever thread it is called.
class CRecordingBoxes : public platform::IMessageBoxSink {
  public:
    void Show(const std::string& text, const std::string& caption) override {
        ShowOwned(text, caption, nullptr);
    }
    void ShowOwned(const std::string& text, const std::string& caption, QWidget* owner) override {
        {
            std::lock_guard<std::mutex> hold(mutex);
            owners.push_back(owner);
        }
        Add(caption + ":" + text);
        // Only the GUI thread looks at the hook, as only the GUI thread sets it.
        const QCoreApplication* app = QCoreApplication::instance();
        if (app != nullptr && QThread::currentThread() == app->thread() && whileShownOnGui) {
            whileShownOnGui();  // a box the user takes time over, its event loop running
        }
    }
    // Questions are kept apart from the boxes, answered with `answer`.
    bool Ask(const std::string& text, const std::string& caption, QWidget*) override {
        std::lock_guard<std::mutex> hold(mutex);
        questions.push_back(caption + ":" + text);
        return answer;
    }
    std::vector<std::string> Questions() const {
        std::lock_guard<std::mutex> hold(mutex);
        return questions;
    }
    bool answer = true;
    void Add(const std::string& entry) {
        std::lock_guard<std::mutex> hold(mutex);
        entries.push_back(entry);
    }
    void Clear() {
        std::lock_guard<std::mutex> hold(mutex);
        entries.clear();
        owners.clear();
        questions.clear();
    }
    std::vector<std::string> Entries() const {
        std::lock_guard<std::mutex> hold(mutex);
        return entries;
    }
    int Count(const std::string& prefix) const {
        std::lock_guard<std::mutex> hold(mutex);
        int n = 0;
        for (const auto& e : entries) {
            n += e.rfind(prefix, 0) == 0 ? 1 : 0;
        }
        return n;
    }
    // The message boxes alone, notices left out.
    int Boxes() const { return static_cast<int>(Entries().size()) - Count("notice:"); }
    std::vector<QWidget*> Owners() const {
        std::lock_guard<std::mutex> hold(mutex);
        return owners;
    }
    std::function<void()> whileShownOnGui;

  private:
    mutable std::mutex mutex;
    std::vector<std::string> entries;
    std::vector<QWidget*> owners;
    std::vector<std::string> questions;
};
