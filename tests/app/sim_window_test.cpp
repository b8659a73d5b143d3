// The "Simulated Kit" window follows the kit, also when the kit changes on another thread,
// and its switches drive the kit.
#include <gtest/gtest.h>

#include <QCheckBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <thread>
#include <vector>

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
        EXPECT_TRUE(QTest::qWaitFor([&] { return !window.UsbSwitch()->isChecked(); }));
        EXPECT_TRUE(window.SerialSwitch()->isChecked());
        // A screen reader's toggle action (no click) drives the kit too; following the kit
        // sends nothing back to it.
        window.SilentSwitch()->toggle();
        EXPECT_FALSE(kit.Silent());
        kit.SetSilent(true);
        EXPECT_TRUE(QTest::qWaitFor([&] { return window.SilentSwitch()->isChecked(); }));
        EXPECT_TRUE(kit.Silent() && !kit.UsbPlugged());

        // The send box's text goes out as the board's single-byte ANSI text (Windows-1252).
        auto port = kit.SerialPorts().CreatePort();
        ASSERT_EQ(port->Open("COM1"), 1);
        platform::SerialTimeouts atOnce;  // reads return what is there
        atOnce.readInterval = platform::TIMEOUT_MAX;
        ASSERT_EQ(port->SetTimeouts(atOnce), 1);
        window.SendBox()->setText(QString::fromUtf8("\u20AC\u00E9?"));
        window.SendSerialButton()->click();
        uint8_t got[8] = {};
        uint32_t count = 0;
        ASSERT_EQ(port->WaitReadable(3000), 1);
        ASSERT_EQ(port->Read(got, sizeof got, count), 1);
        EXPECT_EQ(std::vector<uint8_t>(got, got + count), (std::vector<uint8_t>{0x80, 0xE9, '?'}));
    }
    // Changes after the window has gone reach nothing that no longer exists.
    kit.ConnectSerial(false);
    kit.PlugUsb(true);
    QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
}
