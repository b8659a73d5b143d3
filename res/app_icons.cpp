// The program's icons, drawn at run time in 16 colours at 32 by 32 and 16 by 16 pixels.
#include "res/app_icons.h"

#include <QImage>
#include <QPainter>
#include <QPixmap>

namespace {

// The 16-colour palette the icons keep to.
const QColor BLACK(0, 0, 0);
const QColor DARK_GREEN(0, 128, 0);
const QColor GREEN(0, 255, 0);
const QColor DARK_GREY(128, 128, 128);
const QColor LIGHT_GREY(192, 192, 192);
const QColor WHITE(255, 255, 255);
const QColor RED(255, 0, 0);
const QColor YELLOW(255, 255, 0);
const QColor DARK_YELLOW(128, 128, 0);
const QColor NAVY(0, 0, 128);

// The Kit: a green board with a USB plug on its left edge, a chip and a red LED. Drawn on
// a 32-unit grid and scaled, so both sizes keep the same picture.
void DrawBoard(QPainter& painter) {
    painter.setPen(BLACK);
    painter.setBrush(LIGHT_GREY);
    painter.drawRect(1, 12, 7, 8);  // USB plug shell
    painter.fillRect(2, 14, 5, 4, DARK_GREY);
    painter.setBrush(DARK_GREEN);
    painter.drawRect(8, 5, 22, 22);  // board
    painter.setPen(DARK_YELLOW);
    for (int y = 9; y <= 23; y += 4) {  // traces
        painter.drawLine(10, y, 14, y);
    }
    painter.setPen(BLACK);
    painter.setBrush(BLACK);
    painter.drawRect(15, 11, 9, 10);  // chip
    painter.setPen(LIGHT_GREY);
    for (int y = 12; y <= 20; y += 2) {
        painter.drawPoint(14, y);
        painter.drawPoint(25, y);
    }
    painter.setPen(BLACK);
    painter.setBrush(RED);
    painter.drawEllipse(24, 6, 4, 4);  // LED
    painter.setBrush(YELLOW);
    painter.drawRect(11, 23, 2, 2);  // second LED, off
}

// A serial connector: a navy D-shaped shell with nine pins.
void DrawConnector(QPainter& painter) {
    painter.setPen(BLACK);
    painter.setBrush(LIGHT_GREY);
    painter.drawRect(2, 8, 28, 16);
    painter.setBrush(NAVY);
    const QPoint shell[] = {QPoint(5, 11), QPoint(27, 11), QPoint(24, 21), QPoint(8, 21)};
    painter.drawPolygon(shell, 4);
    painter.setPen(Qt::NoPen);
    painter.setBrush(WHITE);
    for (int i = 0; i < 5; ++i) {
        painter.drawRect(8 + i * 4, 13, 2, 2);
    }
    painter.setBrush(GREEN);
    for (int i = 0; i < 4; ++i) {
        painter.drawRect(10 + i * 4, 17, 2, 2);
    }
}

}  // namespace

QImage DrawAppIcon(int iconId, int size) {
    QImage image(size, size, QImage::Format_ARGB32);
    image.fill(Qt::transparent);
    QPainter painter(&image);
    painter.setRenderHint(QPainter::Antialiasing, false);
    painter.scale(size / 32.0, size / 32.0);
    if (iconId == SPARE_ICON) {
        DrawConnector(painter);
    } else {
        DrawBoard(painter);
    }
    return image;
}

QIcon LoadAppIcon(int iconId) {
    if (iconId != ABOUT_ICON && iconId != SPARE_ICON && iconId != MAIN_ICON) {
        return QIcon();
    }
    QIcon icon;
    icon.addPixmap(QPixmap::fromImage(DrawAppIcon(iconId, 32)));
    icon.addPixmap(QPixmap::fromImage(DrawAppIcon(iconId, 16)));
    return icon;
}
