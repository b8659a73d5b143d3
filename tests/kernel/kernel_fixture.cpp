// The gadget Kit for the whole run and the fixtures around it.
#include "tests/kernel/kernel_fixture.h"

#include <QCoreApplication>
#include <QEvent>
#include <QMetaEnum>
#include <filesystem>

#include "channel/board_commands.h"
#include "channel/byte_ring.h"
#include "platform/linux/hidraw_writer.h"

namespace {

std::unique_ptr<sim::gadget::CGadgetKit> g_kit;
std::string g_kitUnavailable;

}  // namespace

sim::gadget::CGadgetKit* Kit() {
    static bool started = false;
    if (!started) {
        started = true;
        auto kit = std::make_unique<sim::gadget::CGadgetKit>();
        std::string error;
        if (kit->Start(error)) {
            g_kit = std::move(kit);
        } else {
            g_kitUnavailable = "skipped: no USB gadget can be made here (" + error +
                               "); run these tests through scripts/kernel-test";
        }
    }
    return g_kit.get();
}

const std::string& KitUnavailableReason() {
    return g_kitUnavailable;
}

std::string KitHidNode() {
    // By the ids sysfs lists, as discovery does: polling this must not open nodes, which the
    // kernel makes wait while a write is held.
    auto hid = platform::CreateSystemHid();
    for (const auto& path : hid->EnumerateInterfaces()) {
        uint16_t vendor = 0, product = 0;
        if (hid->ListedIds(path, vendor, product) && vendor == KIT_VENDOR_ID &&
            product == KIT_PRODUCT_ID) {
            return path;
        }
    }
    return {};
}

std::string KitSerialNode() {
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator("/sys/class/tty", error)) {
        const std::string name = entry.path().filename().string();
        if (name.rfind("ttyACM", 0) == 0) {
            return "/dev/" + name;
        }
    }
    return {};
}

void CRealKernelTest::SetUp() {
    if (Kit() == nullptr) {
        // Under the rig a missing gadget is a failure, not a skip.
        if (qEnvironmentVariableIsSet("PALVEX_KERNEL_RIG")) {
            FAIL() << KitUnavailableReason();
        }
        GTEST_SKIP() << KitUnavailableReason();
    }
    receiveRing.Reset();
    usbRxRing.Reset();
    kit().SetSilent(false);
    kit().SetOutStalled(false);
    kit().SetVersion(sim::DEFAULT_VERSION);
    if (!kit().Plugged()) {
        kit().Plug(true);
    }
    ASSERT_TRUE(WaitUntil([] { return !KitHidNode().empty() && !KitSerialNode().empty(); }, 10000))
        << "the Kit's nodes did not appear";
    // A write an earlier test left held (a stalled board) keeps discovery away from the node
    // until the kernel lets it go, about 5 s.
    ASSERT_TRUE(WaitUntil(
        [] { return !platform::linux_hid::CHidrawWriter::WriteHeldLongerThan(0); }, 10000))
        << "an earlier write is still held";
}

void CRealKernelTest::TearDown() {
    if (Kit() != nullptr) {
        kit().SetOutStalled(false);
        kit().SetSilent(false);
    }
}

// Sees every event the GUI thread delivers, before its receiver does. What it keeps of each
// is cheap (static class names, a shared string), as most begin only a short stretch.
class CLoopPauses::CEventWatch : public QObject {
  public:
    explicit CEventWatch(CLoopPauses& pauses) : pauses(pauses) {}
    bool eventFilter(QObject* receiver, QEvent* event) override {
        const Clock::time_point now = Clock::now();
        const qint64 stretch =
            std::chrono::duration_cast<std::chrono::milliseconds>(now - pauses.lastEvent).count();
        if (stretch > pauses.longestOwnStretch) {
            const qint64 own = stretch - pauses.StalledMs(pauses.lastEvent, now);
            if (own > pauses.longestOwnStretch) {
                pauses.longestOwnStretch = own;
                pauses.longestStretchCause =
                    QStringLiteral("%1 to %2 \"%3\" in %4")
                        .arg(QLatin1String(QMetaEnum::fromType<QEvent::Type>().valueToKey(type)),
                             QLatin1String(receiverClass), name, QLatin1String(parentClass));
            }
        }
        pauses.lastEvent = now;
        type = event->type();
        receiverClass = receiver->metaObject()->className();
        name = receiver->objectName();
        QObject* parent = receiver->parent();
        parentClass = parent != nullptr ? parent->metaObject()->className() : "nothing";
        return false;
    }

  private:
    CLoopPauses& pauses;
    QEvent::Type type = QEvent::None;
    const char* receiverClass = "";
    const char* parentClass = "";
    QString name;
};

CLoopPauses::CLoopPauses() {
    // The watch sleeps in 20 ms steps; a step that took far longer is a time the machine
    // stood still for every thread, the event loop's too.
    watch = std::thread([this] {
        Clock::time_point before = Clock::now();
        while (!stopping.load()) {
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
            const Clock::time_point now = Clock::now();
            if (now - before > std::chrono::milliseconds(100)) {
                std::lock_guard<std::mutex> hold(stallsMutex);
                stalls.push_back({before + std::chrono::milliseconds(20), now});
            }
            before = now;
        }
    });
    QObject::connect(&heartbeat, &QTimer::timeout, [this] {
        const Clock::time_point now = Clock::now();
        const qint64 gap =
            std::chrono::duration_cast<std::chrono::milliseconds>(now - last).count();
        longest = std::max(longest, gap);
        if (gap > longestOwn) {
            longestOwn = std::max(longestOwn, gap - StalledMs(last, now));
        }
        last = now;
    });
    heartbeat.start(20);
    eventWatch = std::make_unique<CEventWatch>(*this);
    QCoreApplication::instance()->installEventFilter(eventWatch.get());
}

CLoopPauses::~CLoopPauses() {
    stopping.store(true);
    watch.join();
}

qint64 CLoopPauses::StalledMs(Clock::time_point from, Clock::time_point to) const {
    std::lock_guard<std::mutex> hold(stallsMutex);
    Clock::duration stalled{};
    for (const Stall& stall : stalls) {
        const Clock::time_point start = std::max(from, stall.from);
        const Clock::time_point end = std::min(to, stall.to);
        if (end > start) {
            stalled += end - start;
        }
    }
    return std::chrono::duration_cast<std::chrono::milliseconds>(stalled).count();
}

qint64 CLoopPauses::LongestStall() const {
    std::lock_guard<std::mutex> hold(stallsMutex);
    Clock::duration longestStall{};
    for (const Stall& stall : stalls) {
        longestStall = std::max(longestStall, stall.to - stall.from);
    }
    return std::chrono::duration_cast<std::chrono::milliseconds>(longestStall).count();
}
