// The page without a mouse: Tab and arrows reach every control, Space presses, and Shift+F10
// opens the context menus of the send boxes and the traffic views.
#include <gtest/gtest.h>

#include <QLineEdit>
#include <QMenu>
#include <QRadioButton>
#include <QTabWidget>
#include <functional>

#include "app/main_dialog.h"
#include "app/status_bar.h"
#include "app_test_util.h"
#include "bench/test_page.h"
#include "bench/traffic_counter.h"
#include "bench/traffic_view.h"

namespace {

void Press(int key, Qt::KeyboardModifiers modifiers = Qt::NoModifier) {
    QWidget* focus = QApplication::focusWidget();
    ASSERT_NE(focus, nullptr);
    QTest::keyClick(focus, static_cast<Qt::Key>(key), modifiers);
}

// Tab until `reached` holds for the focus widget; a control Tab never reaches fails.
bool TabTo(const std::function<bool(QWidget*)>& reached) {
    for (int presses = 0; presses < 40; ++presses) {
        if (QApplication::focusWidget() != nullptr && reached(QApplication::focusWidget())) {
            return true;
        }
        Press(Qt::Key_Tab);
    }
    return false;
}

// Shift+F10 on the focus widget opens a menu: its entries' texts, each followed by '|'.
QString KeyboardMenu() {
    QString seen;
    auto* look = new QTimer;
    QObject::connect(look, &QTimer::timeout, [&seen, look] {
        if (auto* menu = qobject_cast<QMenu*>(QApplication::activePopupWidget())) {
            for (const QAction* action : menu->actions()) {
                seen += action->text() + QLatin1Char('|');
            }
            menu->close();
        }
        if (!seen.isEmpty()) {
            look->stop();
        }
    });
    look->start(10);
    QTimer::singleShot(3000, look, &QTimer::stop);
    // A menu run with exec() is closed by the time the press returns; one that pops up
    // (the send box's) is looked at here.
    Press(Qt::Key_F10, Qt::ShiftModifier);
    (void)QTest::qWaitFor([&] { return !seen.isEmpty(); }, 3000);
    delete look;
    return seen;
}

}  // namespace

TEST(Keyboard, SendClearLedAndMenusWorkFromTheKeyboardAlone) {
    CSimApp sim;
    CSimKit& kit = sim.kit;
    CRecordingBoxes& boxes = sim.boxes;
    CBoardApp& app = *sim.app;
    CMainDialog* dialog = g_mainDialog;
    ASSERT_NE(dialog, nullptr);
    dialog->activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(dialog));
    ASSERT_TRUE(QTest::qWaitFor([] { return StatusPaneText(0) == "Connected"; }));
    const int boxesBefore = boxes.Boxes();  // the ReadMe page's, where no document is found

    // The page's tab by keys, then into it.
    dialog->TabControl()->setFocus(Qt::TabFocusReason);
    Press(Qt::Key_Tab, Qt::ControlModifier);
    ASSERT_EQ(dialog->TabControl()->currentIndex(), 1);
    CTestPage* page = g_testPage;
    QWidget* usbBox = page->Control(1005);
    ASSERT_TRUE(TabTo([&](QWidget* w) { return w == usbBox; }));

    // Typed, sent with Space on Send; the board's echo shows.
    Press('A', Qt::ControlModifier);
    QTest::keyClicks(usbBox, QStringLiteral("keys"));
    ASSERT_TRUE(TabTo([&](QWidget* w) { return w == page->Control(1006); }));
    Press(Qt::Key_Space);
    EXPECT_TRUE(QTest::qWaitFor([&] { return page->UsbView().Text().contains("keys"); }));
    EXPECT_EQ(page->UsbCounter().Sent(), 4u);

    // Clear, the next stop.
    Press(Qt::Key_Tab);
    ASSERT_EQ(QApplication::focusWidget(), page->Control(1007));
    Press(Qt::Key_Space);
    EXPECT_TRUE(page->UsbView().Text().isEmpty());

    // The LED group is one stop; the arrows choose, and each choice goes to the board.
    ASSERT_TRUE(TabTo([](QWidget* w) { return qobject_cast<QRadioButton*>(w) != nullptr; }));
    auto* stop = qobject_cast<QRadioButton*>(page->Control(1003));
    Press(Qt::Key_Right);
    EXPECT_TRUE(stop->isChecked());
    EXPECT_TRUE(QTest::qWaitFor([&] { return !kit.LedFlashing(); }));
    Press(Qt::Key_Left);
    EXPECT_TRUE(QTest::qWaitFor([&] { return kit.LedFlashing(); }));

    // Context menus: the send box's and the traffic view's, without a mouse.
    ASSERT_TRUE(TabTo([&](QWidget* w) { return w == usbBox; }));
    const QString sendMenu = KeyboardMenu();
    EXPECT_TRUE(sendMenu.contains("Hex bytes (1B 56 76)")) << sendMenu.toStdString();
    // The view's own tools, then the page's.
    ASSERT_TRUE(TabTo([&](QWidget* w) { return w == &page->UsbView(); }));
    EXPECT_EQ(KeyboardMenu(), QString::fromUtf8("&Copy|Select All||Show as Hex|Timestamps|Pause "
                                                "Display|Find\u2026||Save Received Bytes\u2026|"
                                                "Save Text as Shown\u2026|Log to File\u2026|"));
    EXPECT_EQ(boxes.Boxes(), boxesBefore) << boxes.Entries().back();
    app.ShutDown();
}
