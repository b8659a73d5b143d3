// Shared by the real-kernel tests: the Kit as a USB gadget (one for the whole run, as a board
// stays on the desk), waits on device nodes, and the page on the system's own backends.
#pragma once

#include <gtest/gtest.h>

#include <QTimer>
#include <algorithm>
#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/backends.h"
#include "sim/gadget/gadget_kit.h"
#include "tests/bench/bench_fixture.h"

// The gadget Kit of this run, or null where none could be made (then every test skips).
sim::gadget::CGadgetKit* Kit();
// Why Kit() is null.
const std::string& KitUnavailableReason();

// The event loop's longest pause since construction, seen by a timer that should fire every
// 20 ms. A thread of its own that only sleeps sees the machine's stalls (a busy host holding
// up the VM, the kernel busy in a driver): LongestOwn() is the longest pause less the part of
// it that the machine stood still, which is what the program itself is answerable for.
class CLoopPauses {
  public:
    CLoopPauses();
    ~CLoopPauses();
    qint64 Longest() const { return longest; }
    qint64 LongestOwn() const { return longestOwn; }
    qint64 LongestStall() const;
    // The longest stretch of its own between two events the GUI thread delivered, and the
    // event that began it: the work that held the loop.
    qint64 LongestOwnStretch() const { return longestOwnStretch; }
    const QString& LongestStretchCause() const { return longestStretchCause; }

  private:
    class CEventWatch;
    using Clock = std::chrono::steady_clock;
    struct Stall {
        Clock::time_point from;
        Clock::time_point to;
    };
    qint64 StalledMs(Clock::time_point from, Clock::time_point to) const;

    QTimer heartbeat;
    Clock::time_point last = Clock::now();
    qint64 longest = 0;
    qint64 longestOwn = 0;
    mutable std::mutex stallsMutex;
    std::vector<Stall> stalls;  // guarded by stallsMutex, gaps of the watch beyond 100 ms
    std::atomic<bool> stopping{false};
    std::thread watch;
    Clock::time_point lastEvent = Clock::now();
    QString lastEventText;
    qint64 longestOwnStretch = 0;
    QString longestStretchCause;
    std::unique_ptr<QObject> eventWatch;
};

// The Kit's hidraw node, found by its ids through the hidraw backend; "" when absent.
std::string KitHidNode();
// The Kit's ttyACM node; "" when absent.
std::string KitSerialNode();

// Every test starts with the Kit plugged, answering and reading, both nodes present.
class CRealKernelTest : public ::testing::Test {
  protected:
    void SetUp() override;
    void TearDown() override;
    sim::gadget::CGadgetKit& kit() { return *Kit(); }
};

// The page on the system's own serial ports and hidraw nodes, talking to the gadget Kit.
class CRealPageTest : public CRealKernelTest, public CPageHost {
  protected:
    void StartPage() { HostPage({ports.get(), hid.get(), &shown}); }
    void TearDown() override {
        ClosePage();
        CRealKernelTest::TearDown();
    }

    std::unique_ptr<platform::ISerialPorts> ports = platform::CreateSystemSerialPorts();
    std::unique_ptr<platform::IHidSystem> hid = platform::CreateSystemHid();
};
