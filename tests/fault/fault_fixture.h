// Shared pieces of the fault matrix: a recording message-box sink, a closer for the Kit
// notices, serial ports that count reads, byte streams whose every byte tells its place,
// and a test page on the simulated Kit.
#pragma once

#include <gtest/gtest.h>

#include <QApplication>
#include <QElapsedTimer>
#include <QPointer>
#include <QTimer>
#include <QWidget>
#include <QtTest/QTest>
#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "app/kit_notice_dlg.h"
#include "bench/test_page.h"
#include "bench/traffic_view.h"
#include "platform/platform.h"
#include "serial/byte_ring.h"
#include "sim/sim_kit.h"

// Bounded waits that serve the event loop meanwhile and report through GoogleTest.
#define ASSERT_SOON(condition, timeoutMs)                                                 \
    ASSERT_TRUE(QTest::qWaitFor([&] { return static_cast<bool>(condition); }, timeoutMs)) \
        << #condition

using Bytes = std::vector<uint8_t>;

// Sanitizers make everything several times slower: their trees stretch the time limits, the
// plain tree checks the real ones.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
inline constexpr int TIME_SCALE = 3;
#else
inline constexpr int TIME_SCALE = 1;
#endif

// Records every box ("<caption>:<text>") and returns at once, on any thread.
class CBoxLog : public platform::IMessageBoxSink {
  public:
    void Show(const std::string& text, const std::string& caption) override {
        std::lock_guard<std::mutex> hold(mutex);
        entries.push_back(caption + ":" + text);
    }
    int Count(const std::string& prefix) const {
        std::lock_guard<std::mutex> hold(mutex);
        int n = 0;
        for (const auto& entry : entries) {
            n += entry.rfind(prefix, 0) == 0 ? 1 : 0;
        }
        return n;
    }
    std::vector<std::string> Entries() const {
        std::lock_guard<std::mutex> hold(mutex);
        return entries;
    }

  private:
    mutable std::mutex mutex;
    std::vector<std::string> entries;
};

// Counts the Kit notices and closes each soon after it opens, so no test sits through its
// two seconds.
class CNoticeCloser : public QObject {
  public:
    CNoticeCloser() { qApp->installEventFilter(this); }
    ~CNoticeCloser() override { qApp->removeEventFilter(this); }
    std::atomic<int> notices{0};

  protected:
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (event->type() == QEvent::Show) {
            if (auto* notice = qobject_cast<CKitNoticeDlg*>(watched)) {
                ++notices;
                QPointer<CKitNoticeDlg> open(notice);
                QTimer::singleShot(CKitNoticeDlg::FIRST_TICK_MS * 3, notice, [open] {
                    if (open != nullptr) {
                        open->reject();
                    }
                });
            }
        }
        return false;
    }
};

// The Kit's serial ports with the calls of every read counted (a link's read makes two, or
// one when the port has failed).
class CCountingPorts : public platform::ISerialPorts {
  public:
    explicit CCountingPorts(platform::ISerialPorts& inner) : inner(inner) {}
    std::unique_ptr<platform::ISerialPort> CreatePort() override {
        return std::make_unique<Port>(*this, inner.CreatePort());
    }
    std::string DevicePath(const std::string& portName) override {
        return inner.DevicePath(portName);
    }
    std::atomic<int> readCalls{0};

  private:
    class Port : public platform::ISerialPort {
      public:
        Port(CCountingPorts& owner, std::unique_ptr<platform::ISerialPort> port)
            : owner(owner), port(std::move(port)) {}
        int Open(const std::string& name) override { return port->Open(name); }
        bool IsOpen() const override { return port->IsOpen(); }
        int SetQueueSizes(uint32_t in, uint32_t out) override {
            return port->SetQueueSizes(in, out);
        }
        int GetLineState(platform::SerialLineState& s) override { return port->GetLineState(s); }
        int SetLineState(const platform::SerialLineState& s) override {
            return port->SetLineState(s);
        }
        int SetEventMask(uint32_t mask) override { return port->SetEventMask(mask); }
        int GetTimeouts(platform::SerialTimeouts& t) override { return port->GetTimeouts(t); }
        int SetTimeouts(const platform::SerialTimeouts& t) override { return port->SetTimeouts(t); }
        int ClearError(uint32_t& queued) override {
            owner.readCalls.fetch_add(1);
            return port->ClearError(queued);
        }
        int WaitOutputDrained(uint32_t ms) override { return port->WaitOutputDrained(ms); }
        int WaitReadable(uint32_t ms) override { return port->WaitReadable(ms); }
        int Read(uint8_t* buffer, uint32_t maxBytes, uint32_t& count) override {
            owner.readCalls.fetch_add(1);
            return port->Read(buffer, maxBytes, count);
        }
        int Write(const uint8_t* bytes, uint32_t count, uint32_t& written) override {
            return port->Write(bytes, count, written);
        }
        int Close() override { return port->Close(); }
        std::string LastErrorText() const override { return port->LastErrorText(); }

      private:
        CCountingPorts& owner;
        std::unique_ptr<platform::ISerialPort> port;
    };

    platform::ISerialPorts& inner;
};

// Printable bytes from `first` on, one character each in a view; byte k of a stream is
// Printable(k), so any run of them shows where it came from (modulo 94).
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
    QString text;
    for (uint8_t b : bytes) {
        text.append(QChar(static_cast<char16_t>(b)));
    }
    return text;
}

// One test page on the simulated Kit (COM1 its line), inside a plain parent.
class CFaultPageTest : public ::testing::Test {
  protected:
    void SetUp() override {
        receiveRing.Reset();
        usbRxRing.Reset();
    }
    void TearDown() override { ClosePage(); }

    // Starts the page and waits for the first tick: the COM scan done and, with the Kit
    // plugged, its version reply in the USB view, which is then cleared.
    void StartPage(bool usb, bool serial) {
        kit.PlugUsb(usb);
        kit.ConnectSerial(serial);
        host = std::make_unique<QWidget>();
        platform::Platform platform;
        platform.serialPorts = &ports;
        platform.hid = &kit.Hid();
        platform.messageBoxes = &boxes;
        page = new CTestPage(host.get(), platform);
        ASSERT_SOON(page->FirstTickDone(), 5000);
        if (usb) {
            ASSERT_SOON(page->UsbView().Text() == QString::fromStdString(kit.Version()), 3000);
            page->OnUsbClear();
        }
    }
    // The close sequence; returns how long it took in ms.
    qint64 ClosePage() {
        QElapsedTimer closing;
        closing.start();
        host.reset();  // deletes the page
        page = nullptr;
        return closing.elapsed();
    }

    CSimKit kit;
    CBoxLog boxes;
    CNoticeCloser notices;
    CCountingPorts ports{kit.SerialPorts()};
    std::unique_ptr<QWidget> host;
    CTestPage* page = nullptr;
};
