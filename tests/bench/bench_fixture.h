// Shared fixture of the page tests: the simulated Kit behind a port-name map, a recording
// message-box sink, a status bar for the panes, and a watcher that records notices.
#pragma once

#include <gtest/gtest.h>

#include <QApplication>
#include <QElapsedTimer>
#include <QLineEdit>
#include <QPointer>
#include <QTimer>
#include <QWidget>
#include <QtTest/QTest>
#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "app/kit_notice_dlg.h"
#include "app/status_bar.h"
#include "bench/test_page.h"
#include "bench/traffic_view.h"
#include "channel/byte_ring.h"
#include "platform/platform.h"
#include "sim/sim_kit.h"
#include "tests/common/test_support.h"

// Bounded waits that serve the event loop meanwhile. QtTest's QTRY_ macros report to QtTest,
// not to GoogleTest (a failed one only returns from the test), so these report through
// GoogleTest instead.
#define EXPECT_SOON(condition, timeoutMs)                                                 \
    EXPECT_TRUE(QTest::qWaitFor([&] { return static_cast<bool>(condition); }, timeoutMs)) \
        << #condition
#define ASSERT_SOON(condition, timeoutMs)                                                 \
    ASSERT_TRUE(QTest::qWaitFor([&] { return static_cast<bool>(condition); }, timeoutMs)) \
        << #condition
#define ASSERT_EQ_SOON(actual, expected, timeoutMs)                               \
    do {                                                                          \
        (void)QTest::qWaitFor([&] { return (actual) == (expected); }, timeoutMs); \
        ASSERT_EQ(actual, expected);                                              \
    } while (false)

// Failure messages show texts as texts.
inline void PrintTo(const QString& text, std::ostream* out) {
    *out << '"' << text.toStdString() << '"';
}

// Records each notice once it shows the caller's text and closes it then, so tests need not
// sit through its two seconds.
class CNoticeWatcher : public QObject {
  public:
    explicit CNoticeWatcher(CRecordingBoxes& log) : log(log) { qApp->installEventFilter(this); }
    ~CNoticeWatcher() override { qApp->removeEventFilter(this); }

  protected:
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (event->type() == QEvent::Show) {
            if (auto* notice = qobject_cast<CKitNoticeDlg*>(watched)) {
                // The caller's text replaces the template's 10 ms after the notice opens.
                QPointer<CKitNoticeDlg> open(notice);
                QTimer::singleShot(CKitNoticeDlg::FIRST_TICK_MS * 5, notice, [this, open] {
                    if (open != nullptr) {
                        log.Add("notice:" + open->Text().toStdString());
                        open->reject();
                    }
                });
            }
        }
        return false;
    }

  private:
    CRecordingBoxes& log;
};

// The Kit's serial ports seen under other names, with the reading calls counted.
class CMappedSerialPorts : public platform::ISerialPorts {
  public:
    CMappedSerialPorts(platform::ISerialPorts& inner, std::map<std::string, std::string> names)
        : inner(inner), names(std::move(names)) {}
    std::unique_ptr<platform::ISerialPort> CreatePort() override {
        return std::make_unique<Port>(*this, inner.CreatePort());
    }
    std::string DevicePath(const std::string& portName) override { return "/dev/sim/" + portName; }
    // Read and ClearError calls: a link's read makes one or two, a failing one stops early.
    std::atomic<int> calls{0};
    // Waits for input end at once, as on a hung-up line that reads nothing.
    std::atomic<bool> alwaysReady{false};
    // While held, every Open waits (as for an outgoing Bluetooth port) until Release.
    void HoldOpens() {
        std::lock_guard<std::mutex> lock(gateMutex);
        opensHeld = true;
    }
    void ReleaseOpens() {
        {
            std::lock_guard<std::mutex> lock(gateMutex);
            opensHeld = false;
        }
        gate.notify_all();
    }
    std::atomic<int> opensWaiting{0};
    // While held, every wait for the output queue to drain waits until Release.
    void HoldDrains() {
        std::lock_guard<std::mutex> lock(gateMutex);
        drainsHeld = true;
    }
    void ReleaseDrains() {
        {
            std::lock_guard<std::mutex> lock(gateMutex);
            drainsHeld = false;
        }
        gate.notify_all();
    }
    std::atomic<int> drainsWaiting{0};
    // When set, the line runs at this baud rate whatever the link asks for.
    std::atomic<uint32_t> baudRate{0};
    // Each port loses the one byte it reads at this offset from its open; -1: none.
    std::atomic<int64_t> dropReadAt{-1};

  private:
    class Port : public platform::ISerialPort {
      public:
        Port(CMappedSerialPorts& owner, std::unique_ptr<platform::ISerialPort> port)
            : owner(owner), port(std::move(port)) {}
        int Open(const std::string& name) override {
            {
                std::unique_lock<std::mutex> lock(owner.gateMutex);
                owner.opensWaiting.fetch_add(1);
                owner.gate.wait(lock, [&] { return !owner.opensHeld; });
                owner.opensWaiting.fetch_sub(1);
            }
            auto found = owner.names.find(name);
            return port->Open(found != owner.names.end() ? found->second : name);
        }
        bool IsOpen() const override { return port->IsOpen(); }
        int SetQueueSizes(uint32_t in, uint32_t out) override {
            return port->SetQueueSizes(in, out);
        }
        int GetLineState(platform::SerialLineState& s) override { return port->GetLineState(s); }
        int SetLineState(const platform::SerialLineState& s) override {
            platform::SerialLineState line = s;
            line.baudRate = owner.baudRate.load() != 0 ? owner.baudRate.load() : s.baudRate;
            return port->SetLineState(line);
        }
        int SetEventMask(uint32_t mask) override { return port->SetEventMask(mask); }
        int GetTimeouts(platform::SerialTimeouts& t) override { return port->GetTimeouts(t); }
        int SetTimeouts(const platform::SerialTimeouts& t) override { return port->SetTimeouts(t); }
        int ClearError(uint32_t& queued) override {
            owner.calls.fetch_add(1);
            return port->ClearError(queued);
        }
        int WaitOutputDrained(uint32_t ms) override {
            {
                std::unique_lock<std::mutex> lock(owner.gateMutex);
                owner.drainsWaiting.fetch_add(1);
                owner.gate.wait(lock, [&] { return !owner.drainsHeld; });
                owner.drainsWaiting.fetch_sub(1);
            }
            return port->WaitOutputDrained(ms);
        }
        int WaitReadable(uint32_t ms) override {
            return owner.alwaysReady.load() ? 1 : port->WaitReadable(ms);
        }
        int Read(uint8_t* buffer, uint32_t maxBytes, uint32_t& count) override {
            owner.calls.fetch_add(1);
            const int result = port->Read(buffer, maxBytes, count);
            const int64_t drop = owner.dropReadAt.load() - seen;
            seen += count;
            if (result != 0 && drop >= 0 && drop < static_cast<int64_t>(count)) {
                std::copy(buffer + drop + 1, buffer + count, buffer + drop);
                --count;
            }
            return result;
        }
        int Write(const uint8_t* bytes, uint32_t count, uint32_t& written) override {
            return port->Write(bytes, count, written);
        }
        int Close() override { return port->Close(); }
        bool Gone() const override { return port->Gone(); }
        std::string LastErrorText() const override { return port->LastErrorText(); }

      private:
        CMappedSerialPorts& owner;
        std::unique_ptr<platform::ISerialPort> port;
        int64_t seen = 0;  // bytes read since the open
    };

    platform::ISerialPorts& inner;
    std::map<std::string, std::string> names;
    std::mutex gateMutex;
    std::condition_variable gate;
    bool opensHeld = false;   // guarded by gateMutex
    bool drainsHeld = false;  // guarded by gateMutex
};

// A test page inside a plain parent, with a status bar for the panes and one log of its boxes
// and notices; the page tests and the real-kernel page tests host theirs in it.
class CPageHost {
  protected:
    void HostPage(const platform::Platform& platform) {
        bar = std::make_unique<CStatusBar>(nullptr, 600);
        host = std::make_unique<QWidget>();
        page = new CTestPage(host.get(), platform);
    }
    // The close sequence; returns how long it took in ms.
    qint64 ClosePage() {
        QElapsedTimer closing;
        closing.start();
        host.reset();  // deletes the page
        page = nullptr;
        bar.reset();
        return closing.elapsed();
    }
    // Waits, bounded, until `count` more supervisor ticks have passed; true when they did.
    bool TicksPass(int count) {
        const int start = page->SupervisorTicks();
        return QTest::qWaitFor([&] { return page->SupervisorTicks() >= start + count; },
                               3000 * count);
    }
    QLineEdit* Edit(int id) { return qobject_cast<QLineEdit*>(page->Control(id)); }

    CRecordingBoxes sink;
    CRecordingBoxes& shown = sink;  // boxes and notices in one log
    CNoticeWatcher watcher{shown};
    std::unique_ptr<CStatusBar> bar;
    std::unique_ptr<QWidget> host;
    CTestPage* page = nullptr;
};

// One test page on the simulated Kit.
class CPageTest : public ::testing::Test, public CPageHost {
  protected:
    void SetUp() override {
        receiveRing.Reset();
        usbRxRing.Reset();
    }
    void TearDown() override { ClosePage(); }

    // COM names map to the sim's names: by default COM1 is the Kit's line and COM2..COM4
    // do not exist.
    void StartPage(bool usb, bool serial, std::map<std::string, std::string> names = {}) {
        kit.PlugUsb(usb);
        kit.ConnectSerial(serial);
        ports = std::make_unique<CMappedSerialPorts>(kit.SerialPorts(), std::move(names));
        platform::Platform platform{ports.get(), &kit.Hid(), &sink};
        platform.boardPorts = boardPorts;
        HostPage(platform);
    }
    // Starts the page and waits for the first tick: the COM scan done and, with the Kit
    // plugged, its version reply in the USB view, which is then cleared.
    void StartSettled(bool usb, bool serial) {
        StartPage(usb, serial);
        ASSERT_SOON(page->FirstTickDone(), 5000);
        if (usb) {
            ASSERT_EQ_SOON(page->UsbView().Text(), QString::fromStdString(kit.Version()), 3000);
            page->OnUsbClear();
        }
    }

    CSimKit kit;
    std::vector<std::string> boardPorts = platform::Platform().boardPorts;
    std::unique_ptr<CMappedSerialPorts> ports;
};
