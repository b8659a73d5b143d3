// Dialog templates from res/: the unit conversion, the font's own metrics, and the widgets
// built from a template (the About box's are checked in main_dialog_test.cpp).
#include <gtest/gtest.h>

#include <QFontMetrics>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QRadioButton>
#include <QTextEdit>
#include <QWidget>

#include "res/dialog_template.h"
#include "res/fixed_font.h"

TEST(DialogUnits, ConvertLikeWindowsFromTheFontsOwnMetrics) {
    // "MS Sans Serif" 8 pt at 96 dpi has base units 6 by 13; halves are rounded up.
    const QSize base(6, 13);
    EXPECT_EQ(DialogUnitsToPixels(base, QRect(0, 0, 325, 258)), QRect(0, 0, 488, 419));
    // 5 * 6 / 4 = 7.5 -> 8, 3 * 13 / 8 = 4.875 -> 5, 243 * 13 / 8 = 394.875 -> 395.
    EXPECT_EQ(DialogUnitsToPixels(base, QRect(5, 3, 317, 243)), QRect(8, 5, 476, 395));
    EXPECT_EQ(DialogUnitsToPixels(base, QRect()), QRect(0, 0, 0, 0));

    // The letters' average width and the font's height, as Windows measures them.
    const DialogTemplate& main = LoadDialogTemplate(102);
    const QFontMetrics metrics(DialogFont(main));
    const QSize units = DialogBaseUnits(DialogFont(main));
    const int letters = metrics.horizontalAdvance(
        QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"));
    EXPECT_LE(std::abs(units.width() * 52 - letters), 26);
    // The notice's 10-point font is larger, so its units are too.
    EXPECT_GT(DialogBaseUnits(DialogFont(LoadDialogTemplate(131))).height(), units.height());
    EXPECT_TRUE(LoadDialogTemplate(999).controls.empty());
    EXPECT_TRUE(LoadResourceString(105).isEmpty());
}

// The page's template: the caller makes its custom view, the rest are Qt's controls; the LED
// radios are one group.
TEST(BuildDialog, MakesThePagesControlsAndGroupsItsRadios) {
    QWidget page;
    QWidget* customView = nullptr;
    const auto controls = BuildDialog(130, page, [&](const DialogControl& c, QWidget* parent) {
        return c.id == 1013 ? customView = new QWidget(parent) : nullptr;
    });
    EXPECT_NE(
        qobject_cast<QGroupBox*>(page.findChild<QWidget*>(QString(), Qt::FindDirectChildrenOnly)),
        nullptr);  // first in template order
    EXPECT_NE(qobject_cast<QLineEdit*>(controls.at(1005)), nullptr);
    EXPECT_EQ(controls.at(1013), customView);
    auto* rs232View = qobject_cast<QTextEdit*>(controls.at(1014));
    ASSERT_NE(rs232View, nullptr);
    EXPECT_TRUE(rs232View->isReadOnly());

    auto* flashing = qobject_cast<QRadioButton*>(controls.at(1002));
    auto* stop = qobject_cast<QRadioButton*>(controls.at(1003));
    ASSERT_TRUE(flashing && stop);
    flashing->setChecked(true);
    stop->setChecked(true);
    EXPECT_FALSE(flashing->isChecked());
}

// Each template's controls are made in template (tab) order. Tab visits those whose entry is a
// tab stop and no other (a tab widget's through its tab bar); the LED radios, the ReadMe view
// and the tab control are not. Whatever face this system puts in the templates' place, no label
// or radio button cuts its text off (CTest runs this case again at 150 % and 200 % scaling); and
// the traffic views' font really is monospaced (Windows' "Courier New" may be a proportional
// stand-in where it is not installed).
TEST(BuildDialog, TemplatesTabInOrderTheirTextsFitAndTheFixedFontIsMonospaced) {
    for (const int id : {100, 102, 129, 130, 131}) {
        QWidget dialog;
        BuildDialog(id, dialog);
        const auto children = dialog.findChildren<QWidget*>(QString(), Qt::FindDirectChildrenOnly);
        const DialogTemplate& t = LoadDialogTemplate(id);
        ASSERT_EQ(children.size(), static_cast<qsizetype>(t.controls.size()));
        for (size_t i = 0; i < t.controls.size(); ++i) {
            QWidget* taker =
                children[i]->focusProxy() != nullptr ? children[i]->focusProxy() : children[i];
            EXPECT_EQ((taker->focusPolicy() & Qt::TabFocus) != 0,
                      t.controls[i].styles.contains("tabstop"))
                << "template " << id << ", control " << t.controls[i].id;
        }
        for (auto* label : dialog.findChildren<QLabel*>()) {
            if (!label->text().isEmpty()) {
                EXPECT_LE(label->fontMetrics().horizontalAdvance(label->text()),
                          label->contentsRect().width())
                    << "template " << id << ": \"" << label->text().toStdString() << "\"";
            }
        }
        const auto radios = dialog.findChildren<QRadioButton*>();
        for (auto* radio : radios) {
            EXPECT_LE(radio->sizeHint().width(), radio->width())
                << "template " << id << ": \"" << radio->text().toStdString() << "\"";
            for (auto* other : radios) {  // grown, still side by side
                EXPECT_TRUE(radio == other || !radio->geometry().intersects(other->geometry()));
            }
        }
    }
    const QFontMetricsF fixed(FixedPitchFont());
    for (const QChar c : QStringLiteral("iW.0 m")) {
        EXPECT_EQ(fixed.horizontalAdvance(c), fixed.horizontalAdvance(QLatin1Char('0')))
            << QString(c).toStdString();
    }
}
