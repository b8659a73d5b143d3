// The "Simulated Kit" window follows the kit, also when the kit changes on another thread,
// and its switches drive the kit.
#include <gtest/gtest.h>

#include <QCheckBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <thread>

#include "app/sim_window.h"
#include "app_test_util.h"
#include "sim/sim_kit.h"

TEST(SimWindow, SwitchesDriveTheKitAndTheWindowFollowsItFromAnyThread) {
    CSimKit kit;
    CSimWindow window(kit);
    EXPECT_EQ(window.windowTitle(), "Simulated Kit");
    EXPECT_FALSE(window.UsbSwitch()->isChecked());  // the kit starts unplugged
    EXPECT_EQ(window.LedLabel()->text(), "LED: stopped");

    window.UsbSwitch()->click();
    EXPECT_TRUE(kit.UsbPlugged());
    window.SerialSwitch()->click();
    EXPECT_TRUE(kit.SerialConnected());
    window.SilentSwitch()->click();
    EXPECT_TRUE(kit.Silent());

    // A change made on another thread reaches the window through the event queue.
    std::thread other([&] { kit.PlugUsb(false); });
    other.join();
    EXPECT_TRUE(WaitUntil([&] { return !window.UsbSwitch()->isChecked(); }));
    EXPECT_TRUE(window.SerialSwitch()->isChecked());
    EXPECT_TRUE(window.SilentSwitch()->isChecked());
}

TEST(SimWindow, StopsObservingTheKitWhenItCloses) {
    CSimKit kit;
    {
        CSimWindow window(kit);
        kit.ConnectSerial(true);
    }
    // Changes after the window has gone reach nothing that no longer exists.
    kit.ConnectSerial(false);
    kit.PlugUsb(true);
    QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
    EXPECT_TRUE(kit.UsbPlugged());
}
