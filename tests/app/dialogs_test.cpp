// The self-closing notice and the status bar's panes.
#include <gtest/gtest.h>

#include <QElapsedTimer>
#include <QFontMetrics>
#include <QLabel>
#include <QTimer>

#include "app/kit_notice_dlg.h"
#include "app/status_bar.h"
#include "app_test_util.h"

TEST(KitNotice, ShowsTheCallersTextFromTheFirstTickAndClosesItselfAfterTwoSeconds) {
    for (const std::string text : {"The KIT is unpluged or reset!", ""}) {
        CKitNoticeDlg notice;
        if (!text.empty()) {
            notice.SetNoticeText(text);
        }
        EXPECT_EQ(notice.Text(), "The Kit is not detected !");  // the template's own text
        QString early = "unset", late = "unset";
        QTimer::singleShot(300, &notice, [&] { early = notice.Text(); });
        QTimer::singleShot(1800, &notice, [&] { late = notice.Text(); });
        QElapsedTimer clock;
        clock.start();
        EXPECT_EQ(notice.exec(), QDialog::Accepted);  // it ends with OK
        EXPECT_GE(clock.elapsed(), 2000);
        EXPECT_LT(clock.elapsed(), 3000 * TIME_SCALE);
        EXPECT_EQ(early.toStdString(), text);  // without a text the message is blank
        EXPECT_EQ(late.toStdString(), text);
        EXPECT_FALSE(notice.isVisible());
    }
}

// What the board sends is Windows-1252 text, one character a byte, and shows as it is in the
// pane and in the notice: markup in it is text, laid out on one line. Pane calls without a
// bar or out of range do nothing.
TEST(StatusBar, BoardTextShowsAsPlainWindows1252InPaneAndNotice) {
    ASSERT_EQ(g_statusBar, nullptr);
    SetStatusPane(0, "Connected");
    SetStatusPaneToolTip(1, "/dev/ttyUSB0");
    EXPECT_EQ(StatusPaneText(0), "");
    const std::vector<std::pair<std::string, QString>> cases = {
        {"A\xE9\x80\x99", QString::fromUtf8("A\u00E9\u20AC\u2122")},
        {"<b>1.0", "<b>1.0"},
        {"1<br>2", "1<br>2"},
    };
    const auto plain = [](const QLabel* label, const QString& text) {
        const QFontMetrics metrics(label->font());
        return label->sizeHint().width() >= metrics.horizontalAdvance(text) &&
               label->sizeHint().height() < 2 * metrics.height();
    };
    auto bar = std::make_unique<CStatusBar>(nullptr, 488);
    SetStatusPane(5, "ignored");
    EXPECT_EQ(StatusPaneText(5), "");
    for (const auto& [bytes, shown] : cases) {
        SetStatusPane(2, bytes);
        EXPECT_EQ(bar->Pane(2)->text(), shown);
        EXPECT_EQ(StatusPaneText(2), bytes);
        EXPECT_TRUE(plain(bar->Pane(2), shown)) << bytes;

        CKitNoticeDlg notice;
        notice.SetNoticeText(bytes);
        notice.show();
        EXPECT_TRUE(QTest::qWaitFor([&] { return notice.Text() == shown; })) << bytes;
        EXPECT_TRUE(plain(notice.findChild<QLabel*>(), shown)) << bytes;
    }
    bar.reset();
    EXPECT_EQ(g_statusBar, nullptr);
}
