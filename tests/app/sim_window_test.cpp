// The "Simulated Kit" window follows the kit, also when the kit changes on another thread,
// and its switches drive the kit.
#include <gtest/gtest.h>

#include <QCheckBox>
#include <QLabel>
#include <thread>

#include "app/sim_window.h"
#include "app_test_util.h"
#include "sim/sim_kit.h"

TEST(SimWindow, SwitchesDriveTheKitAndTheWindowFollowsItFromAnyThreadWhileItLives) {
    CSimKit kit;
    {
        CSimWindow window(kit);
        EXPECT_FALSE(window.UsbSwitch()->isChecked());  // the kit starts unplugged
        EXPECT_EQ(window.LedLabel()->text(), "LED: stopped");
        window.UsbSwitch()->click();
        window.SerialSwitch()->click();
        window.SilentSwitch()->click();
        window.StallSwitch()->click();
        window.LockSwitch()->click();
        EXPECT_TRUE(kit.UsbPlugged() && kit.SerialConnected() && kit.Silent());
        EXPECT_TRUE(kit.OutStalled() && kit.UsbAccessDenied());

        // A change made on another thread reaches the window through the event queue.
        std::thread other([&] { kit.PlugUsb(false); });
        other.join();
        EXPECT_TRUE(WaitUntil([&] { return !window.UsbSwitch()->isChecked(); }));
        EXPECT_TRUE(window.SerialSwitch()->isChecked());
    }
    // Changes after the window has gone reach nothing that no longer exists.
    kit.ConnectSerial(false);
    kit.PlugUsb(true);
    QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
    EXPECT_TRUE(kit.UsbPlugged());
}
