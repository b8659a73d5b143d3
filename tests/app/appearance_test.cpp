// The window on a dark desktop and at the scales of HiDPI screens: the traffic views, the
// counters and the find bar take the palette's colours and stay readable, nothing of the page
// is cut off or covered, and screenshots land in build/screenshots/ (CTest runs this again at
// 200 %).
#include <gtest/gtest.h>

#include <QDir>
#include <QImage>
#include <QLabel>
#include <QLineEdit>
#include <QPalette>
#include <QPushButton>
#include <QStyleFactory>
#include <QTabWidget>
#include <algorithm>

#include "app/main_dialog.h"
#include "app/status_bar.h"
#include "app_test_util.h"
#include "bench/test_page.h"
#include "bench/traffic_counter.h"
#include "bench/traffic_view.h"

namespace {

QPalette DarkPalette() {
    QPalette dark;
    const QColor window(53, 53, 53);
    const QColor base(35, 35, 35);
    dark.setColor(QPalette::Window, window);
    dark.setColor(QPalette::WindowText, Qt::white);
    dark.setColor(QPalette::Base, base);
    dark.setColor(QPalette::AlternateBase, window);
    dark.setColor(QPalette::Text, Qt::white);
    dark.setColor(QPalette::PlaceholderText, QColor(160, 160, 160));
    dark.setColor(QPalette::Button, window);
    dark.setColor(QPalette::ButtonText, Qt::white);
    dark.setColor(QPalette::Highlight, QColor(42, 130, 218));
    dark.setColor(QPalette::HighlightedText, Qt::black);
    dark.setColor(QPalette::ToolTipBase, window);
    dark.setColor(QPalette::ToolTipText, Qt::white);
    return dark;
}

// Pixels of `widget` as drawn: how many are the background and how many are bright strokes.
struct Ink {
    double background = 0;  // share of pixels equal to the background
    int bright = 0;         // pixels lighter than mid grey: text on a dark ground
};

Ink InkOf(QWidget* widget, const QColor& background) {
    const QImage image = widget->grab().toImage().convertToFormat(QImage::Format_RGB32);
    Ink ink;
    int same = 0;
    for (int y = 0; y < image.height(); ++y) {
        for (int x = 0; x < image.width(); ++x) {
            const QColor pixel = image.pixelColor(x, y);
            same += pixel.rgb() == background.rgb();
            ink.bright += pixel.lightness() > 160;
        }
    }
    ink.background = static_cast<double>(same) / std::max(1, image.width() * image.height());
    return ink;
}

}  // namespace

TEST(Appearance, DarkPaletteIsFollowedAndNothingIsCutOffOrCovered) {
    QApplication::setStyle(QStyleFactory::create(QStringLiteral("Fusion")));
    const QPalette before = QApplication::palette();
    QApplication::setPalette(DarkPalette());
    CSimApp sim;
    CSimKit& kit = sim.kit;
    CBoardApp& app = *sim.app;
    CMainDialog* dialog = g_mainDialog;
    ASSERT_NE(dialog, nullptr);
    dialog->TabControl()->setCurrentIndex(1);
    CTestPage* page = g_testPage;
    ASSERT_TRUE(QTest::qWaitFor([] { return StatusPaneText(0) == "Connected"; }));
    const std::string line = "Hello from the board 0123456789\r\n";
    kit.SendUsb(std::vector<uint8_t>(line.begin(), line.end()));
    kit.SendSerial(std::vector<uint8_t>(line.begin(), line.end()));
    ASSERT_TRUE(QTest::qWaitFor([&] { return page->Rs232View().Text().contains("Hello"); }));
    ASSERT_TRUE(QTest::qWaitFor([&] { return page->UsbView().Text().contains("Hello"); }));
    ASSERT_TRUE(QTest::qWaitFor([&] { return page->UsbCounter().Received() >= line.size(); }));
    ASSERT_TRUE(QTest::qWaitFor([&] { return !page->UsbCounter().text().startsWith("Rx 0 "); }));
    page->UsbView().OpenFind();
    auto* findEdit = page->UsbView().findChild<QLineEdit*>();
    ASSERT_NE(findEdit, nullptr);
    findEdit->setText(QStringLiteral("board"));

    // Views, counters and the find field: the dark ground, with light text on it.
    const QPalette dark = DarkPalette();
    for (TrafficView* view : {&page->UsbView(), &page->Rs232View()}) {
        const Ink ink = InkOf(view->viewport(), dark.color(QPalette::Base));
        EXPECT_GT(ink.background, 0.5) << view->accessibleName().toStdString();
        EXPECT_GT(ink.bright, 20) << view->accessibleName().toStdString();
    }
    const Ink counter = InkOf(&page->UsbCounter(), dark.color(QPalette::Window));
    EXPECT_GT(counter.background, 0.5);
    EXPECT_GT(counter.bright, 10);
    const Ink find = InkOf(findEdit, dark.color(QPalette::Base));
    EXPECT_GT(find.bright, 10);

    // At any scale: the counters' and panes' texts fit, and no control of the page covers
    // another (the group boxes hold the controls, so they are left out).
    for (QLabel* label :
         {static_cast<QLabel*>(&page->UsbCounter()), static_cast<QLabel*>(&page->Rs232Counter()),
          g_statusBar->Pane(0), g_statusBar->Pane(2)}) {
        EXPECT_LE(label->fontMetrics().horizontalAdvance(label->text()),
                  label->contentsRect().width())
            << label->text().toStdString();
    }
    QList<QWidget*> controls;
    for (QWidget* child : page->findChildren<QWidget*>(QString(), Qt::FindDirectChildrenOnly)) {
        if (child->isVisible() && qstrcmp(child->metaObject()->className(), "QGroupBox") != 0 &&
            !(qobject_cast<QLabel*>(child) != nullptr &&
              qobject_cast<CTrafficCounter*>(child) == nullptr)) {
            controls.push_back(child);
        }
    }
    for (QWidget* a : controls) {
        for (QWidget* b : controls) {
            EXPECT_TRUE(a == b || !a->geometry().intersects(b->geometry()))
                << a->accessibleName().toStdString() << " covers "
                << b->accessibleName().toStdString();
        }
    }

    // What the user sees, for anyone to look at.
    const QString folder = QStringLiteral(PALVEX_SCREENSHOT_DIR);
    QDir().mkpath(folder);
    const QString scale = QString::number(dialog->devicePixelRatioF() * 100);
    EXPECT_TRUE(dialog->grab().save(folder + QStringLiteral("/dark-%1.png").arg(scale)));
    app.ShutDown();
    QApplication::setPalette(before);
}
