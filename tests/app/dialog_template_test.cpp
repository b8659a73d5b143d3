// Dialog templates from res/: their data, the unit conversion and the widgets built from them.
#include <gtest/gtest.h>

#include <QFontInfo>
#include <QFontMetrics>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QTextEdit>
#include <QWidget>

#include "app/dialog_template.h"

namespace {

std::vector<int> Ids(const DialogTemplate& t) {
    std::vector<int> ids;
    for (const auto& c : t.controls) {
        ids.push_back(c.id);
    }
    return ids;
}

}  // namespace

TEST(DialogUnits, ConvertLikeWindowsWithHalvesRoundedUp) {
    // "MS Sans Serif" 8 pt at 96 dpi has base units 6 by 13.
    const QSize base(6, 13);
    // The main window: 325 units give the 488-pixel client width Windows gives the window.
    EXPECT_EQ(DialogUnitsToPixels(base, QRect(0, 0, 325, 258)), QRect(0, 0, 488, 419));
    // The tab control: 5 * 6 / 4 = 7.5 -> 8, 3 * 13 / 8 = 4.875 -> 5, 243 * 13 / 8 = 394.875.
    EXPECT_EQ(DialogUnitsToPixels(base, QRect(5, 3, 317, 243)), QRect(8, 5, 476, 395));
    // Exact values stay exact; zero stays zero.
    EXPECT_EQ(DialogUnitsToPixels(QSize(8, 16), QRect(2, 4, 6, 8)), QRect(4, 8, 12, 16));
    EXPECT_EQ(DialogUnitsToPixels(base, QRect(0, 0, 0, 0)), QRect(0, 0, 0, 0));
}

TEST(DialogUnits, ComeFromTheTemplateFontsOwnMetrics) {
    const DialogTemplate& main = LoadDialogTemplate(102);
    const QFont font = DialogFont(main);
    EXPECT_EQ(font.pointSize(), 8);
    // The letters' average width and the font's height, as Windows measures them.
    const QFontMetrics metrics(font);
    const int letters = metrics.horizontalAdvance(
        QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"));
    const QSize base = DialogBaseUnits(font);
    EXPECT_LE(std::abs(base.width() * 52 - letters), 26);
    EXPECT_EQ(base.height(), metrics.height());
    EXPECT_EQ(DialogUnitsToPixels(main, QRect(0, 0, 4, 8)),
              QRect(0, 0, base.width(), base.height()));
    // The notice's 10-point font is larger, so its units are too.
    const QSize noticeBase = DialogBaseUnits(DialogFont(LoadDialogTemplate(131)));
    EXPECT_GT(noticeBase.height(), base.height());
    EXPECT_GE(noticeBase.width(), base.width());
}

TEST(DialogTemplates, HoldTheWindowsAsDesigned) {
    const DialogTemplate& about = LoadDialogTemplate(100);
    EXPECT_EQ(about.caption, "About Palvex");
    EXPECT_EQ(about.units, QRect(0, 0, 235, 55));
    EXPECT_EQ(Ids(about), (std::vector<int>{-1, -1, 1}));
    EXPECT_EQ(about.controls[0].kind, "icon");
    EXPECT_EQ(about.controls[0].text, "128");
    EXPECT_EQ(about.controls[1].text, "Palvex Version 0.75");
    EXPECT_EQ(about.controls[2].units, QRect(178, 7, 50, 14));

    const DialogTemplate& main = LoadDialogTemplate(102);
    EXPECT_EQ(main.caption, "Demo and Test");
    EXPECT_EQ(main.units, QRect(0, 0, 325, 258));
    ASSERT_EQ(main.controls.size(), 1u);
    EXPECT_EQ(main.controls[0].id, 1000);
    EXPECT_EQ(main.controls[0].units, QRect(5, 3, 317, 243));

    const DialogTemplate& readMe = LoadDialogTemplate(129);
    EXPECT_EQ(readMe.units, QRect(0, 0, 300, 224));
    EXPECT_EQ(Ids(readMe), (std::vector<int>{1001, 1015}));
    EXPECT_EQ(readMe.controls[1].text, "Transfer testing BIN code to  AppLoader DIR");

    // The test page in its tab order.
    const DialogTemplate& test = LoadDialogTemplate(130);
    EXPECT_EQ(test.units, QRect(0, 0, 300, 223));
    EXPECT_EQ(Ids(test), (std::vector<int>{-1, 1002, 1003, -1, 1005, 1006, 1007, -1, -1, -1, 1009,
                                           1010, 1011, 1013, 1014}));
    EXPECT_EQ(test.controls[9].text, "Received Data From RS232 ");
    EXPECT_EQ(test.controls[13].units, QRect(6, 43, 286, 50));
    EXPECT_EQ(test.controls[14].units, QRect(6, 140, 286, 52));
    EXPECT_TRUE(test.controls[1].styles.contains("group"));

    const DialogTemplate& notice = LoadDialogTemplate(131);
    EXPECT_EQ(notice.fontPoints, 10);
    EXPECT_EQ(notice.units, QRect(0, 0, 168, 46));
    ASSERT_EQ(notice.controls.size(), 1u);
    EXPECT_EQ(notice.controls[0].id, 1012);
    EXPECT_EQ(notice.controls[0].text, "The Kit is not detected !");

    EXPECT_TRUE(LoadDialogTemplate(999).controls.empty());

    EXPECT_EQ(LoadResourceString(101), "&About Palvex...");
    EXPECT_EQ(LoadResourceString(102), "\"\"");
    EXPECT_EQ(LoadResourceString(103), "\"\"");
    EXPECT_EQ(LoadResourceString(104), "\"N/A\"");
    EXPECT_TRUE(LoadResourceString(105).isEmpty());
}

TEST(BuildDialog, MakesTheControlsInTemplateOrderAtTheirPixelPlaces) {
    QWidget page;
    QWidget* customView = nullptr;
    const auto controls =
        BuildDialog(130, page, [&](const DialogControl& control, QWidget* parent) -> QWidget* {
            if (control.id == 1013) {
                customView = new QWidget(parent);
                return customView;
            }
            return nullptr;
        });
    const DialogTemplate& t = LoadDialogTemplate(130);

    std::vector<int> ids;
    for (const auto& [id, widget] : controls) {
        ids.push_back(id);
    }
    EXPECT_EQ(ids, (std::vector<int>{1002, 1003, 1005, 1006, 1007, 1009, 1010, 1011, 1013, 1014}));
    EXPECT_EQ(page.size(), DialogUnitsToPixels(t, t.units).size());

    // Children in template order, each where the template puts it.
    const auto children = page.findChildren<QWidget*>(QString(), Qt::FindDirectChildrenOnly);
    ASSERT_EQ(children.size(), static_cast<qsizetype>(t.controls.size()));
    for (size_t i = 0; i < t.controls.size(); ++i) {
        EXPECT_EQ(children[i]->geometry(), DialogUnitsToPixels(t, t.controls[i].units)) << i;
    }
    EXPECT_NE(qobject_cast<QGroupBox*>(children[0]), nullptr);
    EXPECT_EQ(qobject_cast<QGroupBox*>(children[0])->title(), " LED ");
    EXPECT_NE(qobject_cast<QLineEdit*>(controls.at(1005)), nullptr);
    EXPECT_EQ(qobject_cast<QPushButton*>(controls.at(1006))->text(), "Send");
    EXPECT_EQ(controls.at(1013), customView);
    auto* rs232View = qobject_cast<QTextEdit*>(controls.at(1014));
    ASSERT_NE(rs232View, nullptr);
    EXPECT_TRUE(rs232View->isReadOnly());

    // The two radio buttons are one group: selecting one clears the other.
    auto* flashing = qobject_cast<QRadioButton*>(controls.at(1002));
    auto* stop = qobject_cast<QRadioButton*>(controls.at(1003));
    ASSERT_NE(flashing, nullptr);
    ASSERT_NE(stop, nullptr);
    flashing->setChecked(true);
    stop->setChecked(true);
    EXPECT_FALSE(flashing->isChecked());
}

TEST(BuildDialog, AboutTemplateShowsTheIconTextAndDefaultOk) {
    QWidget about;
    const auto controls = BuildDialog(100, about);
    const auto labels = about.findChildren<QLabel*>();
    ASSERT_EQ(labels.size(), 2);
    EXPECT_FALSE(labels[0]->pixmap().isNull());
    EXPECT_EQ(labels[0]->size(), QSize(32, 32));  // a static icon takes the icon's size
    EXPECT_EQ(labels[1]->text(), "Palvex Version 0.75");
    auto* ok = qobject_cast<QPushButton*>(controls.at(1));
    ASSERT_NE(ok, nullptr);
    EXPECT_EQ(ok->text(), "OK");
    EXPECT_TRUE(ok->isDefault());
    EXPECT_EQ(about.windowTitle(), "About Palvex");
    EXPECT_EQ(QFontInfo(about.font()).pointSize(), 8);
}
