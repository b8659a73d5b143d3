// The main window on the simulated Kit: start-up state, tabs, panes, the About item and the
// shutdown order with its time bound.
#include <gtest/gtest.h>

#include <QAction>
#include <QElapsedTimer>
#include <QKeyEvent>
#include <QLabel>
#include <QPushButton>
#include <QTabBar>
#include <QTabWidget>

#include "app/board_app.h"
#include "app/kit_notice_dlg.h"
#include "app/main_dialog.h"
#include "app/status_bar.h"
#include "app_test_util.h"
#include "bench/test_page.h"
#include "platform/platform.h"
#include "readme/readme_page.h"
#include "sim/sim_kit.h"

namespace {

class MainDialogTest : public ::testing::Test {
  protected:
    MainDialogTest() {
        kit.PlugUsb(true);
        kit.ConnectSerial(true);
        platform.serialPorts = &kit.SerialPorts();
        platform.hid = &kit.Hid();
        platform.messageBoxes = &boxes;
    }

    // Closes the window as the user does and shuts the program down; returns the
    // milliseconds from the close to the end of the main window's deletion.
    qint64 CloseAndShutDown(CBoardApp& app) {
        bool closed = false;
        QObject::connect(g_mainDialog, &CMainDialog::Closed, [&] { closed = true; });
        QElapsedTimer clock;
        clock.start();
        g_mainDialog->close();
        EXPECT_TRUE(closed);
        app.ShutDown();
        return clock.elapsed();
    }

    CSimKit kit;
    CRecordingBoxes boxes;
    platform::Platform platform;
};

}  // namespace

TEST_F(MainDialogTest, StartsOnTheReadMeTabWithTheTestPageRunningHidden) {
    CBoardApp app(platform, nullptr);
    app.InitInstance();
    CMainDialog* dialog = g_mainDialog;
    ASSERT_NE(dialog, nullptr);
    ASSERT_NE(g_readMePage, nullptr);
    ASSERT_NE(g_testPage, nullptr);

    // Until the first tick the panes show the string table's texts.
    EXPECT_EQ(StatusPaneText(0), "\"\"");
    EXPECT_EQ(StatusPaneText(1), "\"\"");
    EXPECT_EQ(StatusPaneText(2), "\"N/A\"");

    EXPECT_EQ(dialog->windowTitle(), "Demo and Test");
    EXPECT_EQ(dialog->minimumSize(), dialog->maximumSize());  // fixed size
    EXPECT_FALSE(dialog->windowFlags() & Qt::WindowMaximizeButtonHint);
    const auto iconSizes = dialog->windowIcon().availableSizes();
    EXPECT_TRUE(iconSizes.contains(QSize(32, 32)) && iconSizes.contains(QSize(16, 16)));

    QTabWidget* tabs = dialog->TabControl();
    ASSERT_EQ(tabs->count(), 2);
    EXPECT_EQ(tabs->tabText(0), "ReadMe");
    EXPECT_EQ(tabs->tabText(1), "Demo and Test");
    EXPECT_EQ(tabs->currentIndex(), 0);
    EXPECT_TRUE(g_readMePage->isVisible());
    EXPECT_FALSE(g_testPage->isVisible());

    // The pages lie over the tab control, below its row of headers.
    const QRect tabRect = tabs->geometry();
    for (QWidget* page : {static_cast<QWidget*>(g_readMePage), static_cast<QWidget*>(g_testPage)}) {
        EXPECT_TRUE(tabRect.contains(page->geometry())) << page->geometry().y();
        EXPECT_GE(page->y(), tabRect.y() + tabs->tabBar()->height());
    }

    // The status bar spans the bottom edge; pane 1 is 400 pixels narrower than the client.
    ASSERT_NE(g_statusBar, nullptr);
    EXPECT_EQ(g_statusBar->geometry().bottom(), dialog->height() - 1);
    ASSERT_TRUE(WaitUntil([] { return g_statusBar->Pane(2)->width() > 0; }));
    EXPECT_EQ(g_statusBar->Pane(0)->width(), 150);
    EXPECT_EQ(g_statusBar->Pane(1)->width(), dialog->width() - 400);

    // The hidden page runs: its first tick asks the Kit for its version and fills the panes.
    EXPECT_TRUE(WaitUntil([&] { return kit.VersionRequests() >= 1; }));
    EXPECT_TRUE(WaitUntil([] { return StatusPaneText(0) == "Connected"; }));
    EXPECT_FALSE(g_testPage->isVisible());

    // Tab switching shows and hides the pages; it never makes new ones.
    CTestPage* testPage = g_testPage;
    tabs->setCurrentIndex(1);
    EXPECT_TRUE(g_testPage->isVisible());
    EXPECT_FALSE(g_readMePage->isVisible());
    tabs->setCurrentIndex(0);
    EXPECT_TRUE(g_readMePage->isVisible());
    EXPECT_FALSE(g_testPage->isVisible());
    EXPECT_EQ(g_testPage, testPage);

    // The About item sits in the window's and the tab bar's context menus.
    QAction* about = dialog->AboutAction();
    ASSERT_NE(about, nullptr);
    EXPECT_EQ(about->text(), "&About Palvex...");
    EXPECT_TRUE(dialog->actions().contains(about));
    EXPECT_TRUE(tabs->tabBar()->actions().contains(about));
    int aboutBoxes = 0;
    const auto closeAbout = [&](QWidget* modal) {
        if (qobject_cast<CAboutBox*>(modal) != nullptr) {
            ++aboutBoxes;
        }
        for (QPushButton* button : modal->findChildren<QPushButton*>()) {
            button->click();
        }
    };
    OnNextModal(closeAbout);
    about->trigger();
    OnNextModal(closeAbout);
    dialog->OnSysCommand(0x001F);  // the low four bits do not matter
    EXPECT_EQ(aboutBoxes, 2);

    // Shutdown: windows first, then the pages; the board hears the close command.
    const qint64 elapsed = CloseAndShutDown(app);
    EXPECT_LT(elapsed, 1600 * TIME_SCALE);
    EXPECT_EQ(kit.CloseCommands(), 1);
    EXPECT_EQ(g_mainDialog, nullptr);
    EXPECT_EQ(g_testPage, nullptr);
    EXPECT_EQ(g_readMePage, nullptr);
    EXPECT_EQ(g_statusBar, nullptr);
}

TEST_F(MainDialogTest, EscapeClosesAndShutdownStaysBoundedWithASilentBoard) {
    CBoardApp app(platform, nullptr);
    app.InitInstance();
    ASSERT_TRUE(WaitUntil([&] { return kit.VersionRequests() >= 1; }));
    kit.SetSilent(true);  // it will not answer the close command
    bool closed = false;
    QObject::connect(g_mainDialog, &CMainDialog::Closed, [&] { closed = true; });

    // Return is not the window's OK: a Return typed in a send box must not end the program.
    QKeyEvent enter(QEvent::KeyPress, Qt::Key_Return, Qt::NoModifier);
    QApplication::sendEvent(g_mainDialog, &enter);
    EXPECT_FALSE(closed);
    EXPECT_TRUE(g_mainDialog->isVisible());

    // Escape is its Cancel and closes it.
    QElapsedTimer clock;
    clock.start();
    QKeyEvent escape(QEvent::KeyPress, Qt::Key_Escape, Qt::NoModifier);
    QApplication::sendEvent(g_mainDialog, &escape);
    EXPECT_TRUE(closed);
    EXPECT_FALSE(g_mainDialog->isVisible());
    app.ShutDown();
    EXPECT_LT(clock.elapsed(), 1600 * TIME_SCALE);
    EXPECT_EQ(kit.CloseCommands(), 1);
    EXPECT_EQ(g_mainDialog, nullptr);
}
