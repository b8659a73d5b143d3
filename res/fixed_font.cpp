// Finding a monospaced font that exists.
#include "res/fixed_font.h"

#include <QFontDatabase>
#include <QFontInfo>
#include <QStringList>

namespace {

// Monospaced faces that come with Windows, then with common Linux and Wine setups.
const char* const KNOWN_FIXED[] = {"Consolas",       "Cascadia Mono",    "Lucida Console",
                                   "Courier New",    "DejaVu Sans Mono", "Liberation Mono",
                                   "Noto Sans Mono", "Noto Mono",        "Courier"};

bool Monospaced(const QFont& font) {
    // The face the system really gives, not the one asked for.
    const QFontInfo info(font);
    return info.fixedPitch() && QFontDatabase::isFixedPitch(info.family());
}

}  // namespace

QFont FixedPitchFont() {
    QFont font = QFontDatabase::systemFont(QFontDatabase::FixedFont);
    if (Monospaced(font)) {
        return font;
    }
    for (const char* family : KNOWN_FIXED) {
        if (QFontDatabase::hasFamily(QString::fromLatin1(family))) {
            QFont candidate = font;
            candidate.setFamilies(QStringList{QString::fromLatin1(family)});
            if (Monospaced(candidate)) {
                return candidate;
            }
        }
    }
    for (const QString& family : QFontDatabase::families(QFontDatabase::Latin)) {
        if (QFontDatabase::isFixedPitch(family) && !family.startsWith(QLatin1Char('@'))) {
            QFont candidate = font;
            candidate.setFamilies(QStringList{family});
            if (Monospaced(candidate)) {
                return candidate;
            }
        }
    }
    return font;  // none at all: the columns may not line up, but the text is all there
}
