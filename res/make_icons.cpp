// Writes the program's own icon drawing as the desktop's icon files, at build time:
//   palvex-make-icons OUTPUT NAME SIZE...
// makes OUTPUT/hicolor/SxS/apps/NAME.png for each size and OUTPUT/hicolor/scalable/apps/NAME.svg,
// the 32-pixel drawing traced as squares, so every file shows the same picture.
#include <QDir>
#include <QFile>
#include <QImage>
#include <cstdio>

#include "res/app_icons.h"

namespace {

constexpr int TRACE_SIZE = 32;

// One rectangle per run of equal pixels in a row; transparent pixels are left out.
QByteArray TraceSvg(const QImage& image) {
    QByteArray svg = QByteArrayLiteral(
        "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
        "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"32\" height=\"32\" "
        "viewBox=\"0 0 32 32\" shape-rendering=\"crispEdges\">\n");
    for (int y = 0; y < image.height(); ++y) {
        for (int x = 0; x < image.width();) {
            const QRgb pixel = image.pixel(x, y);
            int end = x + 1;
            while (end < image.width() && image.pixel(end, y) == pixel) {
                ++end;
            }
            if (qAlpha(pixel) != 0) {
                svg += QStringLiteral(
                           "<rect x=\"%1\" y=\"%2\" width=\"%3\" height=\"1\" fill=\"%4\"/>\n")
                           .arg(x)
                           .arg(y)
                           .arg(end - x)
                           .arg(QColor(pixel).name())
                           .toUtf8();
            }
            x = end;
        }
    }
    return svg + "</svg>\n";
}

bool Write(const QString& path, const QByteArray& bytes) {
    QFile file(path);
    return QDir().mkpath(QFileInfo(path).path()) && file.open(QIODevice::WriteOnly) &&
           file.write(bytes) == bytes.size();
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 4) {
        std::fprintf(stderr, "usage: palvex-make-icons OUTPUT NAME SIZE...\n");
        return 2;
    }
    const QString output = QString::fromLocal8Bit(argv[1]) + "/hicolor/";
    const QString name = QString::fromLocal8Bit(argv[2]);
    for (int i = 3; i < argc; ++i) {
        const int size = QString::fromLocal8Bit(argv[i]).toInt();
        const QString path = output + QStringLiteral("%1x%1/apps/").arg(size) + name + ".png";
        if (size <= 0 || !QDir().mkpath(QFileInfo(path).path()) ||
            !DrawAppIcon(MAIN_ICON, size).save(path, "PNG")) {
            std::fprintf(stderr, "palvex-make-icons: cannot write %s\n", qPrintable(path));
            return 1;
        }
    }
    const QString svg = output + "scalable/apps/" + name + ".svg";
    if (!Write(svg, TraceSvg(DrawAppIcon(MAIN_ICON, TRACE_SIZE)))) {
        std::fprintf(stderr, "palvex-make-icons: cannot write %s\n", qPrintable(svg));
        return 1;
    }
    return 0;
}
