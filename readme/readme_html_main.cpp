// palvex-readme-html: the browser page's ReadMe, made at build time from the RTF document the
// desktop shows, by the desktop's own reader:
//   palvex-readme-html IN.rtf OUT.html
#include <QByteArray>
#include <QFile>
#include <QSaveFile>
#include <cstdio>
#include <cstring>

#include "readme/readme_html.h"
#include "readme/rtf_reader.h"

namespace {

// Exit codes as sysexits.h has them.
constexpr int USAGE = 64;
constexpr int NO_INPUT = 66;
constexpr int CANNOT_CREATE = 73;

constexpr const char* USAGE_TEXT =
    "Usage: palvex-readme-html IN.rtf OUT.html\n"
    "Writes the RTF document IN.rtf as an HTML fragment for the browser page's ReadMe.\n";

void Fail(const QString& text) {
    std::fprintf(stderr, "palvex-readme-html: %s\n", text.toLocal8Bit().constData());
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 2 && std::strcmp(argv[1], "--version") == 0) {
        std::printf("palvex-readme-html %s\n", PALVEX_VERSION);
        return 0;
    }
    if (argc == 2 && (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0)) {
        std::fputs(USAGE_TEXT, stdout);
        return 0;
    }
    if (argc != 3) {
        std::fputs(USAGE_TEXT, stderr);
        return USAGE;
    }
    const QString inPath = QFile::decodeName(argv[1]);
    const QString outPath = QFile::decodeName(argv[2]);

    QFile in(inPath);
    if (!in.open(QIODevice::ReadOnly)) {
        Fail(QStringLiteral("cannot read %1: %2").arg(inPath, in.errorString()));
        return NO_INPUT;
    }
    // One byte past what the reader looks at tells whether the document was cut.
    const QByteArray rtf = in.read(static_cast<qint64>(RTF_MAX_DOCUMENT_BYTES) + 1);
    if (in.error() != QFileDevice::NoError) {
        Fail(QStringLiteral("cannot read %1: %2").arg(inPath, in.errorString()));
        return NO_INPUT;
    }
    if (static_cast<std::size_t>(rtf.size()) > RTF_MAX_DOCUMENT_BYTES) {
        Fail(QStringLiteral("%1 is longer than %2 bytes: the rest is left out, as on the desktop")
                 .arg(inPath)
                 .arg(RTF_MAX_DOCUMENT_BYTES));
    }

    const QByteArray html = RtfToHtml(std::string_view(rtf.constData(), rtf.size()));
    // Written whole or not at all: a failed build leaves no half page behind.
    QSaveFile out(outPath);
    if (!out.open(QIODevice::WriteOnly) || out.write(html) != html.size() || !out.commit()) {
        Fail(QStringLiteral("cannot write %1: %2").arg(outPath, out.errorString()));
        return CANNOT_CREATE;
    }
    return 0;
}
