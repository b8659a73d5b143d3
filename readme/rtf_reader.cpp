// A small RTF reader: the entry point, plain text that is not RTF, the code-page decoders and
// the keyword table the parser looks words up in.
#include "readme/rtf_reader.h"

#include <QStringDecoder>
#include <QTextBoundaryFinder>
#include <QTextCursor>
#include <QTextDocument>
#include <algorithm>

#include "platform/code_pages.h"
#include "readme/rtf_parser.h"

namespace rtf {

// clang-format off
const std::unordered_map<std::string_view, Key>& Keywords() {
    static const std::unordered_map<std::string_view, Key> keywords = {
        {"rtf", Key::Rtf}, {"ansi", Key::Ansi}, {"mac", Key::Mac}, {"pc", Key::Pc},
        {"pca", Key::Pca}, {"ansicpg", Key::AnsiCpg}, {"deff", Key::Deff}, {"deftab", Key::DefTab},
        {"uc", Key::Uc}, {"u", Key::U}, {"par", Key::Par}, {"sect", Key::Par}, {"row", Key::Row},
        {"nestrow", Key::Par}, {"line", Key::Line}, {"tab", Key::Tab}, {"page", Key::Page},
        {"cell", Key::Cell}, {"nestcell", Key::Tab}, {"bin", Key::Bin}, {"b", Key::Bold},
        {"i", Key::Italic}, {"ul", Key::Underline}, {"uld", Key::Underline},
        {"uldash", Key::Underline}, {"uldashd", Key::Underline}, {"uldashdd", Key::Underline},
        {"uldb", Key::Underline}, {"ulhwave", Key::Underline}, {"ulldash", Key::Underline},
        {"ulth", Key::Underline}, {"ulthd", Key::Underline}, {"ulthdash", Key::Underline},
        {"ulthdashd", Key::Underline}, {"ulthdashdd", Key::Underline},
        {"ulthldash", Key::Underline}, {"ululdbwave", Key::Underline}, {"ulw", Key::Underline},
        {"ulwave", Key::Underline}, {"ulnone", Key::UlNone}, {"strike", Key::Strike},
        {"striked", Key::Strike}, {"super", Key::Super}, {"sub", Key::Sub},
        {"nosupersub", Key::NoSuperSub}, {"up", Key::Up}, {"dn", Key::Dn}, {"fs", Key::Fs},
        {"f", Key::F}, {"cf", Key::Cf}, {"highlight", Key::Highlight}, {"cb", Key::Highlight},
        {"chcbpat", Key::Highlight}, {"plain", Key::Plain}, {"pard", Key::Pard}, {"ql", Key::Ql},
        {"qc", Key::Qc}, {"qr", Key::Qr}, {"qj", Key::Qj}, {"li", Key::Li}, {"ri", Key::Ri},
        {"fi", Key::Fi}, {"sb", Key::Sb}, {"sa", Key::Sa}, {"tx", Key::Tx}, {"tqr", Key::Tqr},
        {"tqc", Key::Tqc}, {"tqdec", Key::Tqdec}, {"v", Key::Hidden}, {"emdash", Key::EmDash},
        {"endash", Key::EnDash}, {"bullet", Key::Bullet}, {"lquote", Key::LQuote},
        {"rquote", Key::RQuote}, {"ldblquote", Key::LDblQuote}, {"rdblquote", Key::RDblQuote},
        {"emspace", Key::EmSpace}, {"enspace", Key::EnSpace}, {"fonttbl", Key::FontTable},
        {"colortbl", Key::ColorTable}, {"red", Key::Red}, {"green", Key::Green},
        {"blue", Key::Blue}, {"fcharset", Key::FCharset}, {"fmodern", Key::FModern},
        {"fprq", Key::FPrq}, {"cpg", Key::Cpg}, {"intbl", Key::InTable},
        {"trowd", Key::RowDefaults}, {"cellx", Key::CellEdge}, {"trleft", Key::RowLeft},
        {"outlinelevel", Key::OutlineLevel},
        // Destinations whose content is not document text.
        {"stylesheet", Key::SkipDestination}, {"info", Key::SkipDestination},
        {"pict", Key::SkipDestination}, {"nonshppict", Key::SkipDestination},
        {"object", Key::SkipDestination}, {"header", Key::SkipDestination},
        {"headerl", Key::SkipDestination}, {"headerr", Key::SkipDestination},
        {"headerf", Key::SkipDestination}, {"footer", Key::SkipDestination},
        {"footerl", Key::SkipDestination}, {"footerr", Key::SkipDestination},
        {"footerf", Key::SkipDestination}, {"footnote", Key::SkipDestination},
        {"annotation", Key::SkipDestination}, {"fldinst", Key::SkipDestination},
        {"listtable", Key::SkipDestination}, {"listoverridetable", Key::SkipDestination},
        {"revtbl", Key::SkipDestination}, {"rsidtbl", Key::SkipDestination},
        {"filetbl", Key::SkipDestination}, {"generator", Key::SkipDestination},
        {"xmlnstbl", Key::SkipDestination}, {"themedata", Key::SkipDestination},
        {"colorschememapping", Key::SkipDestination}, {"latentstyles", Key::SkipDestination},
        {"datastore", Key::SkipDestination}, {"pgdsctbl", Key::SkipDestination},
        {"userprops", Key::SkipDestination}, {"template", Key::SkipDestination},
        {"pn", Key::SkipDestination}, {"pnseclvl", Key::SkipDestination},
        {"bkmkstart", Key::SkipDestination}, {"bkmkend", Key::SkipDestination},
        {"xe", Key::SkipDestination}, {"tc", Key::SkipDestination},
        {"private", Key::SkipDestination},
    };
    return keywords;
}
// clang-format on

int CharsetCodePage(int charset) {
    switch (charset) {
        case 2:
            return SYMBOL_CODE_PAGE;
        case 77:
            return 10000;
        case 128:
            return 932;
        case 129:
            return 949;
        case 134:
            return 936;
        case 136:
            return 950;
        case 161:
            return 1253;
        case 162:
            return 1254;
        case 163:
            return 1258;
        case 177:
            return 1255;
        case 178:
            return 1256;
        case 186:
            return 1257;
        case 204:
            return 1251;
        case 222:
            return 874;
        case 238:
            return 1250;
        default:
            return 0;
    }
}

QString DecodeCp1252(std::string_view bytes) {
    QString text;
    text.reserve(static_cast<qsizetype>(bytes.size()));
    for (unsigned char byte : bytes) {
        if (byte >= 0x80 && byte < 0xA0) {
            text.append(QChar(CP1252_HIGH[byte - 0x80]));
        } else {
            text.append(QChar(byte));
        }
    }
    return text;
}

QString DecodeSymbol(std::string_view bytes) {
    QString text;
    for (unsigned char byte : bytes) {
        switch (byte) {
            case 0xB7:
                text.append(QChar(0x2022));
                break;
            case 0xA7:
                text.append(QChar(0x25AA));
                break;
            case 0xD8:
                text.append(QChar(0x27A2));
                break;
            case 0xFC:
                text.append(QChar(0x2713));
                break;
            default:
                text.append(
                    DecodeCp1252(std::string_view(reinterpret_cast<const char*>(&byte), 1)));
        }
    }
    return text;
}

QByteArray CodePageName(int codePage) {
    switch (codePage) {
        case 65001:
            return "UTF-8";
        case 10000:
            return "macintosh";
        case 932:
            return "Shift_JIS";
        case 936:
            return "GBK";
        case 949:
            return "windows-949";
        case 950:
            return "Big5";
        case 437:
            return "IBM437";
        case 850:
            return "IBM850";
        case 20127:
            return "US-ASCII";
        case 28591:
            return "ISO-8859-1";
        default:
            return "windows-" + QByteArray::number(codePage);
    }
}

std::vector<qsizetype> ForcedBreaks(const QString& text) {
    std::vector<qsizetype> breaks;
    if (text.size() <= MAX_UNBROKEN) {
        return breaks;
    }
    QTextBoundaryFinder lines(QTextBoundaryFinder::Line, text);
    QTextBoundaryFinder graphemes(QTextBoundaryFinder::Grapheme, text);
    qsizetype last = 0;
    for (qsizetype position = 1; position < text.size(); ++position) {
        lines.setPosition(position);
        if (lines.isAtBoundary()) {
            last = position;
            continue;
        }
        graphemes.setPosition(position);
        if (position - last >= MAX_UNBROKEN && graphemes.isAtBoundary()) {
            breaks.push_back(position);
            last = position;
        }
    }
    return breaks;
}

QString WithBreaks(QStringView text, qsizetype offset, const std::vector<qsizetype>& breaks,
                   std::size_t& next) {
    QString out;
    out.reserve(text.size() + 1);
    qsizetype from = 0;
    for (; next < breaks.size() && breaks[next] < offset + text.size(); ++next) {
        out.append(text.mid(from, breaks[next] - offset - from));
        out.append(QChar(0x200B));
        from = breaks[next] - offset;
    }
    out.append(text.mid(from));
    return out;
}

}  // namespace rtf

namespace {

using namespace rtf;

// Input that is not RTF: its lines as paragraphs, in code page 1252 or, after a byte order
// mark, UTF-8.
void ReadPlainText(std::string_view text, QTextDocument& document, bool utf8) {
    std::string bytes(text);
    bytes.erase(std::remove(bytes.begin(), bytes.end(), '\r'), bytes.end());
    const QString plain = utf8 ? QString::fromUtf8(bytes) : DecodeCp1252(bytes);
    std::size_t next = 0;
    document.setPlainText(WithBreaks(plain, 0, ForcedBreaks(plain), next));
}

}  // namespace

QString CCodePageDecoders::Decode(int codePage, std::string_view bytes) {
    auto found = std::find_if(decoders.begin(), decoders.end(),
                              [codePage](const auto& entry) { return entry.first == codePage; });
    if (found == decoders.end()) {
        if (decoders.size() >= RTF_MAX_CACHED_DECODERS) {
            decoders.erase(decoders.begin());
        }
        auto decoder = std::make_unique<QStringDecoder>(CodePageName(codePage).constData());
        if (!decoder->isValid()) {
            decoder.reset();
        }
        decoders.emplace_back(codePage, std::move(decoder));
    } else {
        std::rotate(found, found + 1, decoders.end());
    }
    QStringDecoder* const decoder = decoders.back().second.get();
    if (decoder == nullptr) {
        // Qt without ICU (as on Windows) knows only the UTF code pages: the system's own
        // converter then decodes the rest.
        if (const std::optional<std::u16string> text = platform::DecodeCodePage(codePage, bytes)) {
            return QString::fromStdU16String(*text);
        }
        return DecodeCp1252(bytes);
    }
    QString text =
        decoder->decode(QByteArrayView(bytes.data(), static_cast<qsizetype>(bytes.size())));
    decoder->resetState();
    return text;
}

void ReadRtf(std::string_view rtf, QTextDocument& document) {
    rtf = rtf.substr(0, std::min(rtf.size(), RTF_MAX_DOCUMENT_BYTES));
    document.clear();
    const std::string_view BYTE_ORDER_MARK = "\xEF\xBB\xBF";
    const bool utf8 = rtf.substr(0, BYTE_ORDER_MARK.size()) == BYTE_ORDER_MARK;
    std::size_t start = utf8 ? BYTE_ORDER_MARK.size() : 0;
    while (start < rtf.size() &&
           (rtf[start] == ' ' || rtf[start] == '\r' || rtf[start] == '\n' || rtf[start] == '\t')) {
        ++start;
    }
    if (rtf.substr(start, 5) != "{\\rtf") {
        const std::string_view text = rtf.substr(utf8 ? BYTE_ORDER_MARK.size() : 0);
        ReadPlainText(text.substr(0, std::min<std::size_t>(text.size(), RTF_MAX_TEXT_CHARACTERS)),
                      document, utf8);
        return;
    }
    // One edit block: the document's layout runs once at the end, not after every run of
    // text; no undo history for a document nobody edits.
    const bool undo = document.isUndoRedoEnabled();
    document.setUndoRedoEnabled(false);
    QTextCursor edit(&document);
    edit.beginEditBlock();
    CRtfParser parser(rtf.substr(start), document);
    parser.Run();
    edit.endEditBlock();
    document.setUndoRedoEnabled(undo);
}
