// The self-closing notice, the About box and the status bar's panes.
#include <gtest/gtest.h>

#include <QElapsedTimer>
#include <QLabel>
#include <QPushButton>
#include <QTimer>

#include "app/kit_notice_dlg.h"
#include "app/status_bar.h"
#include "app_test_util.h"

TEST(KitNotice, ShowsTheCallersTextFromTheFirstTickAndClosesItselfAfterTwoSeconds) {
    CKitNoticeDlg notice;
    notice.SetNoticeText("The KIT is unpluged or reset!");
    EXPECT_EQ(notice.Text(), "The Kit is not detected !");  // the template's own text
    EXPECT_TRUE(notice.windowFlags() & Qt::FramelessWindowHint);

    QString early;
    QString late;
    QTimer::singleShot(300, &notice, [&] { early = notice.Text(); });
    QTimer::singleShot(1800, &notice, [&] { late = notice.Text(); });
    QElapsedTimer clock;
    clock.start();
    const int result = notice.exec();
    const qint64 elapsed = clock.elapsed();

    EXPECT_EQ(result, QDialog::Accepted);  // it ends with OK
    EXPECT_EQ(early, "The KIT is unpluged or reset!");
    EXPECT_EQ(late, "The KIT is unpluged or reset!");
    EXPECT_GE(elapsed, 2000);
    EXPECT_LT(elapsed, 3000);
    EXPECT_FALSE(notice.isVisible());
}

TEST(KitNotice, WithoutTextBlanksItsMessageAndStillCloses) {
    CKitNoticeDlg notice;
    QString shown = "unset";
    QTimer::singleShot(300, &notice, [&] { shown = notice.Text(); });
    QElapsedTimer clock;
    clock.start();
    notice.exec();
    EXPECT_TRUE(shown.isEmpty());
    EXPECT_LT(clock.elapsed(), 3000);
}

TEST(AboutBox, ShowsIconVersionAndOkAndClosesOnOk) {
    CAboutBox about;
    EXPECT_EQ(about.windowTitle(), "About Palvex");
    EXPECT_FALSE(about.windowFlags() & Qt::WindowMaximizeButtonHint);
    bool checked = false;
    OnNextModal([&](QWidget* modal) {
        EXPECT_EQ(modal, &about);
        const auto labels = modal->findChildren<QLabel*>();
        ASSERT_EQ(labels.size(), 2);
        EXPECT_FALSE(labels[0]->pixmap().isNull());
        EXPECT_EQ(labels[1]->text(), "Palvex Version 0.75");
        const auto buttons = modal->findChildren<QPushButton*>();
        ASSERT_EQ(buttons.size(), 1);
        EXPECT_EQ(buttons[0]->text(), "OK");
        checked = true;
        buttons[0]->click();
    });
    QElapsedTimer clock;
    clock.start();
    EXPECT_EQ(about.exec(), QDialog::Accepted);
    EXPECT_TRUE(checked);
    EXPECT_LT(clock.elapsed(), 3000);
}

TEST(StatusBar, PanesStartWithTheStringTableTextsAndKeepTheirWidths) {
    // Without a bar every pane operation is harmless.
    ASSERT_EQ(g_statusBar, nullptr);
    SetStatusPane(0, "Connected");
    SetStatusPaneToolTip(1, "/dev/ttyUSB0");
    EXPECT_EQ(StatusPaneText(0), "");

    QWidget window;
    window.resize(488, 300);
    auto* bar = new CStatusBar(&window, 488);
    bar->setGeometry(0, 270, 488, bar->sizeHint().height());
    window.show();
    EXPECT_EQ(g_statusBar, bar);
    EXPECT_EQ(StatusPaneText(0), "\"\"");
    EXPECT_EQ(StatusPaneText(1), "\"\"");
    EXPECT_EQ(StatusPaneText(2), "\"N/A\"");
    ASSERT_TRUE(WaitUntil([&] { return bar->Pane(2)->width() > 0; }));
    EXPECT_EQ(bar->Pane(0)->width(), 150);
    EXPECT_EQ(bar->Pane(1)->width(), 88);  // 400 narrower than the 488-pixel client area

    SetStatusPane(2, "Firmware Version: K1.07");
    SetStatusPaneToolTip(1, "/dev/ttyUSB0");
    EXPECT_EQ(StatusPaneText(2), "Firmware Version: K1.07");
    EXPECT_EQ(bar->Pane(1)->toolTip(), "/dev/ttyUSB0");
    // Single-byte text keeps every byte as one character.
    SetStatusPane(0, std::string("A\xE9", 2));
    EXPECT_EQ(StatusPaneText(0), std::string("A\xE9", 2));
    SetStatusPane(5, "ignored");
    EXPECT_EQ(StatusPaneText(5), "");

    delete bar;
    EXPECT_EQ(g_statusBar, nullptr);
}
