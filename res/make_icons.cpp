// Writes the program's own icon drawing as the desktop's icon files, at build time:
//   palvex-make-icons OUTPUT NAME SIZE...
// makes OUTPUT/hicolor/SxS/apps/NAME.png for each size, OUTPUT/hicolor/scalable/apps/NAME.svg,
// the 32-pixel drawing traced as squares, and OUTPUT/NAME.ico with the sizes up to 256 for the
// Windows programs, so every file shows the same picture.
#include <QBuffer>
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

void PutLittleEndian(QByteArray& bytes, uint32_t value, int size) {
    for (int i = 0; i < size; ++i) {
        bytes += static_cast<char>((value >> (8 * i)) & 0xFF);
    }
}

// A Windows icon file whose images are PNG, as Windows reads them since Vista.
QByteArray IconFile(const QList<int>& sizes) {
    QList<QByteArray> images;
    for (const int size : sizes) {
        QBuffer png;
        png.open(QIODevice::WriteOnly);
        DrawAppIcon(MAIN_ICON, size).save(&png, "PNG");
        images += png.data();
    }
    QByteArray file;
    PutLittleEndian(file, 0, 2);  // reserved
    PutLittleEndian(file, 1, 2);  // an icon, not a cursor
    PutLittleEndian(file, static_cast<uint32_t>(sizes.size()), 2);
    uint32_t offset = 6 + 16 * static_cast<uint32_t>(sizes.size());
    for (qsizetype i = 0; i < sizes.size(); ++i) {
        const uint32_t side = sizes[i] >= 256 ? 0 : static_cast<uint32_t>(sizes[i]);  // 0: 256
        PutLittleEndian(file, side, 1);
        PutLittleEndian(file, side, 1);
        PutLittleEndian(file, 0, 2);   // no palette, reserved
        PutLittleEndian(file, 1, 2);   // planes
        PutLittleEndian(file, 32, 2);  // bits per pixel
        PutLittleEndian(file, static_cast<uint32_t>(images[i].size()), 4);
        PutLittleEndian(file, offset, 4);
        offset += static_cast<uint32_t>(images[i].size());
    }
    for (const QByteArray& image : images) {
        file += image;
    }
    return file;
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
    QList<int> iconSizes;
    for (int i = 3; i < argc; ++i) {
        const int size = QString::fromLocal8Bit(argv[i]).toInt();
        if (size > 0 && size <= 256) {
            iconSizes += size;
        }
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
    const QString ico = QString::fromLocal8Bit(argv[1]) + "/" + name + ".ico";
    if (!Write(ico, IconFile(iconSizes))) {
        std::fprintf(stderr, "palvex-make-icons: cannot write %s\n", qPrintable(ico));
        return 1;
    }
    return 0;
}
