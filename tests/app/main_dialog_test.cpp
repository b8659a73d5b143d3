// The main window on the simulated Kit: start-up state, tabs, panes, the About item, the keys
// that close it and the shutdown order with its time bound.
#include <gtest/gtest.h>

#include <QAction>
#include <QElapsedTimer>
#include <QFontInfo>
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

TEST(MainDialog, StartsOnTheReadMeTabWithTheTestPageHiddenAndEscapeEndsItInTime) {
    CSimApp sim;
    CSimKit& kit = sim.kit;
    CBoardApp& app = *sim.app;
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
    ASSERT_TRUE(QTest::qWaitFor([] { return g_statusBar->Pane(2)->width() > 0; }));
    EXPECT_EQ(g_statusBar->Pane(0)->width(), 150);
    EXPECT_EQ(g_statusBar->Pane(1)->width(), dialog->width() - 400);

    // The hidden page runs: its first tick asks the Kit for its version and fills the panes.
    EXPECT_TRUE(QTest::qWaitFor([&] { return kit.VersionRequests() >= 1; }));
    EXPECT_TRUE(QTest::qWaitFor([] { return StatusPaneText(0) == "Connected"; }));

    // Tab switching shows and hides the pages; it never makes new ones.
    CTestPage* testPage = g_testPage;
    tabs->setCurrentIndex(1);
    EXPECT_TRUE(g_testPage->isVisible());
    EXPECT_FALSE(g_readMePage->isVisible());
    EXPECT_EQ(g_testPage, testPage);

    // The About item sits in the window's and the tab bar's context menus.
    QAction* about = dialog->AboutAction();
    ASSERT_NE(about, nullptr);
    EXPECT_EQ(about->text(), "&About Palvex...");
    EXPECT_TRUE(dialog->actions().contains(about));
    EXPECT_TRUE(tabs->tabBar()->actions().contains(about));
    // The box: icon, version and an OK that is the default and closes it.
    int aboutBoxes = 0;
    const auto closeAbout = [&](QWidget* modal) {
        ASSERT_NE(qobject_cast<CAboutBox*>(modal), nullptr);
        EXPECT_EQ(modal->windowTitle(), "About Palvex");
        EXPECT_FALSE(modal->windowFlags() & Qt::WindowMaximizeButtonHint);
        EXPECT_EQ(QFontInfo(modal->font()).pointSize(), 8);
        const auto labels = modal->findChildren<QLabel*>();
        ASSERT_EQ(labels.size(), 2);
        EXPECT_FALSE(labels[0]->pixmap().isNull());
        EXPECT_EQ(labels[0]->size(), QSize(32, 32));
        EXPECT_EQ(labels[1]->text(), "Palvex Version 0.75");
        const auto buttons = modal->findChildren<QPushButton*>();
        ASSERT_EQ(buttons.size(), 1);
        EXPECT_EQ(buttons[0]->text(), "OK");
        EXPECT_TRUE(buttons[0]->isDefault());
        ++aboutBoxes;
        buttons[0]->click();
    };
    OnNextModal(closeAbout);
    about->trigger();
    OnNextModal(closeAbout);
    dialog->OnSysCommand(0x001F);  // the low four bits do not matter
    EXPECT_EQ(aboutBoxes, 2);

    // Return is not the window's OK: a Return typed in a send box must not end the program.
    // Escape is its Cancel and closes it; shutdown then stays bounded even with a board that
    // does not answer the close command: windows first, then the pages.
    bool closed = false;
    QObject::connect(dialog, &CMainDialog::Closed, [&] { closed = true; });
    QKeyEvent enter(QEvent::KeyPress, Qt::Key_Return, Qt::NoModifier);
    QApplication::sendEvent(dialog, &enter);
    EXPECT_FALSE(closed);
    EXPECT_TRUE(dialog->isVisible());
    kit.SetSilent(true);
    QElapsedTimer clock;
    clock.start();
    QKeyEvent escape(QEvent::KeyPress, Qt::Key_Escape, Qt::NoModifier);
    QApplication::sendEvent(dialog, &escape);
    EXPECT_TRUE(closed);
    EXPECT_FALSE(dialog->isVisible());
    app.ShutDown();
    EXPECT_LT(clock.elapsed(), 1600 * TIME_SCALE);
    EXPECT_EQ(kit.CloseCommands(), 1);
    EXPECT_EQ(g_mainDialog, nullptr);
    EXPECT_EQ(g_testPage, nullptr);
    EXPECT_EQ(g_readMePage, nullptr);
    EXPECT_EQ(g_statusBar, nullptr);
}
