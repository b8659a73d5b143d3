// A small RTF reader: one pass over the bytes with an explicit group stack, filling a
// QTextDocument through a cursor.
#include "readme/rtf_reader.h"

#include <QColor>
#include <QFont>
#include <QStringDecoder>
#include <QTextBlock>
#include <QTextBlockFormat>
#include <QTextBoundaryFinder>
#include <QTextCharFormat>
#include <QTextCursor>
#include <QTextDocument>
#include <QTextOption>
#include <QTextTable>
#include <algorithm>
#include <array>
#include <map>
#include <string>
#include <unordered_map>
#include <vector>

#include "channel/hex_digit.h"
#include "platform/code_pages.h"

namespace {

constexpr int DEFAULT_CODE_PAGE = 1252;
constexpr int SYMBOL_CODE_PAGE = 42;  // fonts with \fcharset2: bullets rather than letters
constexpr int DEFAULT_HALF_POINTS = 24;
constexpr int MAX_HALF_POINTS = 3276;   // 1638 points, the largest size word processors offer
constexpr int MAX_TWIPS = 20000;        // about 35 cm; larger indents only hide the text
constexpr int TWIPS_PER_PIXEL = 15;     // 1440 twips an inch, 96 pixels an inch
constexpr int DEFAULT_TAB_TWIPS = 720;  // \deftab when the document has none: half an inch
constexpr std::size_t MAX_TAB_STOPS = 64;
constexpr int MAX_RUNS_PER_PARAGRAPH = 256;
constexpr int MAX_RUNS = 100000;
constexpr int MAX_UNBROKEN = 1000;
constexpr int MAX_TABLE_COLUMNS = 63;  // what word processors allow in a row
// Growing a QTextTable rebuilds its whole cell grid, so a long table is shown as several.
constexpr int MAX_TABLE_ROWS = 256;
// Qt lays out a table cell in some 30 µs: past this many, cells are tab-separated text.
constexpr int MAX_TABLE_CELLS = 10000;
constexpr qreal TABLE_CELL_PADDING = 4;
constexpr std::size_t MAX_TABLE_ENTRIES = 65536;  // fonts and colours each
constexpr std::size_t MAX_WORD_LETTERS = 32;
constexpr int MAX_PARAMETER_DIGITS = 10;

// Windows code page 1252 for 0x80..0x9F; the rest of the page equals Latin-1.
constexpr std::array<char16_t, 32> CP1252_HIGH = {
    0x20AC, 0xFFFD, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0xFFFD, 0x017D, 0xFFFD, 0xFFFD, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0xFFFD, 0x017E, 0x0178};

enum class Destination { Text, Skip, FontTable, ColorTable };

struct CharProps {
    bool bold = false;
    bool italic = false;
    bool underline = false;
    bool strike = false;
    bool hidden = false;
    int vertical = 0;  // 1 superscript, -1 subscript
    int halfPoints = DEFAULT_HALF_POINTS;
    int font = -1;  // -1: the document's default font
    int color = 0;
    int background = 0;
    bool operator==(const CharProps&) const = default;
};

struct ParaProps {
    int align = 0;  // 0 left, 1 centre, 2 right, 3 justified
    int left = 0;   // twips
    int right = 0;
    int first = 0;
    int before = 0;
    int after = 0;
    bool inTable = false;  // \intbl: the paragraph is in a table cell
    std::vector<QTextOption::Tab> tabs;
    QTextOption::TabType nextTabType = QTextOption::LeftTab;
    bool operator==(const ParaProps&) const = default;
};

struct GroupState {
    Destination destination = Destination::Text;
    CharProps chars;
    ParaProps para;
    int unicodeSkip = 1;  // \ucN: fallback characters after each \uN
};

struct FontEntry {
    QString name;
    int codePage = 0;  // 0: the document's code page
    bool fixedPitch = false;
};

// clang-format off
enum class Key {
    Rtf, Ansi, Mac, Pc, Pca, AnsiCpg, Deff, DefTab, Uc, U, Par, Line, Tab, Page, Cell, Bin,
    Bold, Italic, Underline, UlNone, Strike, Super, Sub, NoSuperSub, Up, Dn, Fs, F, Cf,
    Highlight, Plain, Pard, Ql, Qc, Qr, Qj, Li, Ri, Fi, Sb, Sa, Tx, Tqr, Tqc, Tqdec, Hidden,
    EmDash, EnDash, Bullet, LQuote, RQuote, LDblQuote, RDblQuote, EmSpace, EnSpace, FontTable,
    ColorTable, SkipDestination, Red, Green, Blue, FCharset, FModern, FPrq, Cpg, InTable,
    RowDefaults, CellEdge, RowLeft, Row
};

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

// The code page a font's \fcharset selects; 0 keeps the document's.
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

// Symbol fonts only appear in list markers in practice; give them the bullets they draw.
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

// Where a zero-width space goes into `text`: after MAX_UNBROKEN characters without a line break
// opportunity, since Qt's line breaking takes time quadratic in the length of such a run. The
// opportunities are Qt's own; the space goes between grapheme clusters only, so it never splits
// a surrogate pair nor parts a combining mark from its letter.
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

// `text` with the zero-width spaces of ForcedBreaks; `offset` is where `text` starts in the
// string the breaks were found in, `next` the first break not yet placed.
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

class CRtfParser {
  public:
    CRtfParser(std::string_view input, QTextDocument& document) : in(input), cursor(&document) {
        stack.emplace_back();
        SetDefaultTabStops(DEFAULT_TAB_TWIPS);
    }

    void Run() {
        while (pos < in.size() && !finished) {
            const unsigned char c = static_cast<unsigned char>(in[pos]);
            switch (c) {
                case '{':
                    ++pos;
                    skipCount = 0;
                    FlushBytes();
                    OpenGroup();
                    break;
                case '}':
                    ++pos;
                    skipCount = 0;
                    FlushBytes();
                    CloseGroup();
                    break;
                case '\\':
                    ReadControl();
                    break;
                case '\r':
                case '\n':
                    ++pos;
                    break;
                default:
                    ++pos;
                    if (skipCount > 0) {
                        --skipCount;
                    } else {
                        TextByte(c);
                    }
            }
        }
        FlushBytes();
        FlushText();
        Finish();
    }

  private:
    GroupState& State() { return stack.back(); }

    void OpenGroup() {
        if (static_cast<int>(stack.size()) > RTF_MAX_GROUP_DEPTH) {
            ++ignoredGroups;
            return;
        }
        stack.push_back(stack.back());
    }

    void CloseGroup() {
        if (ignoredGroups > 0) {
            if (ignoredGroups == destinationGroup) {
                State().destination = outerDestination;
                destinationGroup = 0;
            }
            --ignoredGroups;
            return;
        }
        if (stack.size() <= 1) {
            return;  // more closing braces than opening ones
        }
        // Text of a paragraph that ends without \par takes the paragraph format it was in.
        if (!(State().para == stack[stack.size() - 2].para)) {
            FlushText();
        }
        if (State().destination == Destination::FontTable) {
            StoreFont();
        }
        const bool leavesColorTable =
            State().destination == Destination::ColorTable &&
            stack[stack.size() - 2].destination != Destination::ColorTable;
        if (leavesColorTable && colorComponentSet) {
            StoreColor();
        }
        stack.pop_back();
        if (stack.size() == 1) {
            finished = true;  // the document's outermost group has ended
        }
    }

    void ReadControl() {
        ++pos;  // the backslash
        if (pos >= in.size()) {
            finished = true;  // truncated control word
            return;
        }
        const unsigned char c = static_cast<unsigned char>(in[pos]);
        if (trailExpected && (c == '\\' || c == '{' || c == '}')) {
            ++pos;
            PushByte(c);  // the second byte of a double-byte character
            return;
        }
        if (c != '\'') {
            FlushBytes();
        }
        if (IsLetter(c)) {
            ReadWord();
            return;
        }
        ++pos;
        if (c == '\'') {
            int value = 0;
            int digits = 0;
            while (digits < 2 && pos < in.size() && HexValue(in[pos]) >= 0) {
                value = value * 16 + HexValue(in[pos]);
                ++pos;
                ++digits;
            }
            if (skipCount > 0) {
                --skipCount;
            } else if (digits == 2 && State().destination != Destination::Skip) {
                PushByte(static_cast<unsigned char>(value));
            }
            return;
        }
        if (skipCount > 0) {
            --skipCount;
            return;
        }
        switch (c) {
            case '\\':
            case '{':
            case '}':
                EmitChar(c);
                break;
            case '~':
                EmitChar(0x00A0);
                break;
            case '-':
                EmitChar(0x00AD);
                break;
            case '_':
                EmitChar(0x2011);
                break;
            case '*':
                SetDestination(Destination::Skip);
                break;
            case '\r':
            case '\n':
                EndParagraph();
                break;
            case '\t':
                EmitChar(u'\t');
                break;
            default:
                break;  // \| \: and unknown symbols mean nothing for display
        }
    }

    void ReadWord() {
        const std::size_t start = pos;
        while (pos < in.size() && IsLetter(static_cast<unsigned char>(in[pos]))) {
            ++pos;
        }
        const std::string_view word =
            in.substr(start, std::min<std::size_t>(pos - start, MAX_WORD_LETTERS + 1));
        bool hasParameter = false;
        long long parameter = 0;
        bool negative = false;
        if (pos + 1 < in.size() && in[pos] == '-' && IsDigit(in[pos + 1])) {
            negative = true;
            ++pos;
        }
        int digits = 0;
        while (pos < in.size() && IsDigit(in[pos])) {
            if (digits < MAX_PARAMETER_DIGITS) {
                parameter = parameter * 10 + (in[pos] - '0');
            }
            ++digits;
            ++pos;
        }
        if (digits > 0) {
            hasParameter = true;
            parameter =
                std::clamp<long long>(negative ? -parameter : parameter, INT32_MIN, INT32_MAX);
        }
        if (pos < in.size() && in[pos] == ' ') {
            ++pos;  // the delimiter belongs to the control word
        }
        const auto it = Keywords().find(word);
        if (it == Keywords().end()) {
            if (skipCount > 0) {
                --skipCount;
            }
            return;
        }
        const int value = static_cast<int>(parameter);
        if (it->second == Key::Bin) {
            // Binary data follows whatever the destination; it is never text.
            if (skipCount > 0) {
                --skipCount;
            }
            const std::size_t size =
                hasParameter && value > 0 ? static_cast<std::size_t>(value) : 0;
            pos += std::min(size, in.size() - pos);
            return;
        }
        if (skipCount > 0) {
            --skipCount;
            return;
        }
        HandleWord(it->second, hasParameter, value);
    }

    void HandleWord(Key key, bool hasParameter, int value) {
        switch (State().destination) {
            case Destination::Skip:
                return;
            case Destination::FontTable:
                HandleFontTableWord(key, hasParameter, value);
                return;
            case Destination::ColorTable:
                HandleColorTableWord(key, value);
                return;
            case Destination::Text:
                break;
        }
        CharProps& chars = State().chars;
        ParaProps& para = State().para;
        const bool on = !hasParameter || value != 0;
        // clang-format off
        switch (key) {
            case Key::Rtf: break;
            case Key::Ansi: documentCodePage = DEFAULT_CODE_PAGE; break;
            case Key::Mac: documentCodePage = 10000; break;
            case Key::Pc: documentCodePage = 437; break;
            case Key::Pca: documentCodePage = 850; break;
            case Key::AnsiCpg:
                if (value > 0) {
                    documentCodePage = value;
                }
                break;
            case Key::Deff: defaultFont = value; break;
            case Key::DefTab:
                if (value > 0) {
                    SetDefaultTabStops(std::min(value, MAX_TWIPS));
                }
                break;
            case Key::Uc: State().unicodeSkip = std::max(0, value); break;
            case Key::U: EmitUnicode(hasParameter, value); break;
            case Key::Par: EndParagraph(); break;
            case Key::Line: EmitChar(QChar::LineSeparator); break;
            case Key::Tab: EmitChar(u'\t'); break;
            case Key::Cell: EndCell(); break;
            case Key::Row: EndRow(); break;
            case Key::InTable: para.inTable = true; break;
            case Key::RowDefaults:
                rowEdges.clear();
                rowLeft = 0;
                break;
            case Key::CellEdge:
                if (rowEdges.size() < static_cast<std::size_t>(MAX_TABLE_COLUMNS)) {
                    rowEdges.push_back(std::clamp(value, -MAX_TWIPS, MAX_TWIPS));
                }
                break;
            case Key::RowLeft: rowLeft = std::clamp(value, -MAX_TWIPS, MAX_TWIPS); break;
            case Key::Page:
                // The next paragraph starts a page; an empty one just begun is that paragraph.
                PlaceParagraph(State().para.inTable);
                CommitText();
                if (cursor.block().length() > 1) {
                    EndParagraph();
                }
                pageBreakBlock = cursor.blockNumber();
                break;
            case Key::Bold: chars.bold = on; break;
            case Key::Italic: chars.italic = on; break;
            case Key::Underline: chars.underline = on; break;
            case Key::UlNone: chars.underline = false; break;
            case Key::Strike: chars.strike = on; break;
            case Key::Super: chars.vertical = 1; break;
            case Key::Sub: chars.vertical = -1; break;
            case Key::NoSuperSub: chars.vertical = 0; break;
            case Key::Up: chars.vertical = on ? 1 : 0; break;
            case Key::Dn: chars.vertical = on ? -1 : 0; break;
            case Key::Fs:
                chars.halfPoints = hasParameter && value > 0 ? std::min(value, MAX_HALF_POINTS)
                                                             : DEFAULT_HALF_POINTS;
                break;
            case Key::F: chars.font = value; break;
            case Key::Cf: chars.color = value; break;
            case Key::Highlight: chars.background = value; break;
            case Key::Hidden: chars.hidden = on; break;
            case Key::Plain: chars = CharProps(); break;
            case Key::Pard: para = ParaProps(); break;
            case Key::Ql: para.align = 0; break;
            case Key::Qc: para.align = 1; break;
            case Key::Qr: para.align = 2; break;
            case Key::Qj: para.align = 3; break;
            case Key::Li: para.left = std::clamp(value, 0, MAX_TWIPS); break;
            case Key::Ri: para.right = std::clamp(value, 0, MAX_TWIPS); break;
            case Key::Fi: para.first = std::clamp(value, -MAX_TWIPS, MAX_TWIPS); break;
            case Key::Sb: para.before = std::clamp(value, 0, MAX_TWIPS); break;
            case Key::Sa: para.after = std::clamp(value, 0, MAX_TWIPS); break;
            case Key::Tx:
                if (para.tabs.size() < MAX_TAB_STOPS) {
                    const qreal position = std::clamp(value, 0, MAX_TWIPS) / qreal(TWIPS_PER_PIXEL);
                    para.tabs.emplace_back(
                        position, para.nextTabType,
                        para.nextTabType == QTextOption::DelimiterTab ? QChar('.') : QChar());
                }
                para.nextTabType = QTextOption::LeftTab;
                break;
            case Key::Tqr: para.nextTabType = QTextOption::RightTab; break;
            case Key::Tqc: para.nextTabType = QTextOption::CenterTab; break;
            case Key::Tqdec: para.nextTabType = QTextOption::DelimiterTab; break;
            case Key::EmDash: EmitChar(0x2014); break;
            case Key::EnDash: EmitChar(0x2013); break;
            case Key::Bullet: EmitChar(0x2022); break;
            case Key::LQuote: EmitChar(0x2018); break;
            case Key::RQuote: EmitChar(0x2019); break;
            case Key::LDblQuote: EmitChar(0x201C); break;
            case Key::RDblQuote: EmitChar(0x201D); break;
            case Key::EmSpace: EmitChar(0x2003); break;
            case Key::EnSpace: EmitChar(0x2002); break;
            case Key::FontTable:
                SetDestination(Destination::FontTable);
                tableFont = -1;
                tableEntry = FontEntry();
                break;
            case Key::ColorTable:
                SetDestination(Destination::ColorTable);
                colorComponentSet = false;
                break;
            case Key::SkipDestination: SetDestination(Destination::Skip); break;
            default:
                break;  // font and colour table words outside their tables
        }
        // clang-format on
    }

    void HandleFontTableWord(Key key, bool hasParameter, int value) {
        switch (key) {
            case Key::F:
                StoreFont();
                tableFont = value;
                tableEntry = FontEntry();
                break;
            case Key::FCharset:
                tableEntry.codePage = CharsetCodePage(value);
                break;
            case Key::Cpg:
                if (value > 0) {
                    tableEntry.codePage = value;
                }
                break;
            case Key::FModern:
                tableEntry.fixedPitch = true;
                break;
            case Key::FPrq:
                if (hasParameter && value == 1) {
                    tableEntry.fixedPitch = true;
                }
                break;
            case Key::U:
                EmitUnicode(hasParameter, value);
                break;
            case Key::Uc:
                State().unicodeSkip = std::max(0, value);
                break;
            case Key::SkipDestination:
                SetDestination(Destination::Skip);
                break;
            default:
                break;
        }
    }

    void HandleColorTableWord(Key key, int value) {
        const int component = std::clamp(value, 0, 255);
        switch (key) {
            case Key::Red:
                red = component;
                break;
            case Key::Green:
                green = component;
                break;
            case Key::Blue:
                blue = component;
                break;
            case Key::SkipDestination:
                SetDestination(Destination::Skip);
                return;
            default:
                return;
        }
        colorComponentSet = true;
    }

    void StoreFont() {
        const QString name = tableEntry.name.trimmed();
        if (tableFont >= 0 && !name.isEmpty() &&
            (fonts.size() < MAX_TABLE_ENTRIES || fonts.count(tableFont) != 0)) {
            FontEntry entry = tableEntry;
            entry.name = name;
            fonts[tableFont] = entry;
        }
        tableEntry.name.clear();
    }

    void StoreColor() {
        if (colors.size() < MAX_TABLE_ENTRIES) {
            colors.push_back(colorComponentSet ? QColor(red, green, blue) : QColor());
        }
        red = green = blue = 0;
        colorComponentSet = false;
    }

    // A byte of text: ASCII at once, others wait so that multi-byte code pages decode whole.
    void TextByte(unsigned char c) {
        if (State().destination == Destination::Skip) {
            return;
        }
        // Double-byte code pages take second bytes from the ASCII range too.
        if (c >= 0x80 || (trailExpected && c >= 0x40)) {
            PushByte(c);
            return;
        }
        FlushBytes();
        if (c == '\t') {
            EmitChar(u'\t');
        } else if (c >= 0x20) {
            EmitChar(c);
        }
    }

    void PushByte(unsigned char c) {
        trailExpected = !trailExpected && IsLeadByte(CurrentCodePage(), c);
        pendingBytes.push_back(static_cast<char>(c));
    }

    static bool IsLeadByte(int codePage, unsigned char c) {
        switch (codePage) {
            case 932:
                return (c >= 0x81 && c <= 0x9F) || (c >= 0xE0 && c <= 0xFC);
            case 936:
            case 949:
            case 950:
                return c >= 0x81 && c <= 0xFE;
            default:
                return false;
        }
    }

    int CurrentCodePage() const {
        // A font name is in the font's own code page; a symbol font's name is in letters.
        if (stack.back().destination == Destination::FontTable) {
            return tableEntry.codePage != 0 && tableEntry.codePage != SYMBOL_CODE_PAGE
                       ? tableEntry.codePage
                       : documentCodePage;
        }
        const int font = stack.back().chars.font >= 0 ? stack.back().chars.font : defaultFont;
        const auto it = fonts.find(font);
        if (stack.back().destination == Destination::Text && it != fonts.end() &&
            it->second.codePage != 0) {
            return it->second.codePage;
        }
        return documentCodePage;
    }

    void FlushBytes() {
        trailExpected = false;
        if (pendingBytes.empty()) {
            return;
        }
        const int codePage = CurrentCodePage();
        const QString text = codePage == SYMBOL_CODE_PAGE ? DecodeSymbol(pendingBytes)
                             : codePage == DEFAULT_CODE_PAGE
                                 ? DecodeCp1252(pendingBytes)
                                 : decoders.Decode(codePage, pendingBytes);
        pendingBytes.clear();
        Emit(text);
    }

    void SetDefaultTabStops(int twips) {
        QTextOption option = cursor.document()->defaultTextOption();
        option.setTabStopDistance(twips / qreal(TWIPS_PER_PIXEL));
        cursor.document()->setDefaultTextOption(option);
    }

    void SetDestination(Destination destination) {
        // Past the depth limit a group has no state of its own: remember which group changed
        // the destination, so that its closing brace restores the enclosing one.
        if (ignoredGroups > 0 && destinationGroup == 0) {
            destinationGroup = ignoredGroups;
            outerDestination = State().destination;
        }
        State().destination = destination;
    }

    void EmitChar(char16_t c) { Emit(QStringView(&c, 1)); }

    // \uN: a signed 16-bit value (surrogate pairs arrive as two in a row), then the fallback.
    // Some writers give characters beyond 16 bits as they are.
    void EmitUnicode(bool hasParameter, int value) {
        const char32_t code = static_cast<char32_t>(value < 0 ? value + 65536 : value);
        if (hasParameter && code <= 0x10FFFF && (code >= 0x20 || code == '\t')) {
            if (code >= 0xF020 && code <= 0xF0FF) {
                // Where Windows puts the characters of symbol fonts.
                const char byte = static_cast<char>(code - 0xF000);
                Emit(DecodeSymbol(std::string_view(&byte, 1)));
            } else if (code > 0xFFFF) {
                Emit(QString::fromUcs4(&code, 1));
            } else {
                EmitChar(static_cast<char16_t>(code));
            }
        }
        skipCount = State().unicodeSkip;
    }

    void Emit(QStringView text) {
        GroupState& state = State();
        switch (state.destination) {
            case Destination::Text:
                break;
            case Destination::FontTable:
                for (QChar c : text) {
                    if (c == QChar(';')) {
                        StoreFont();
                    } else if (tableEntry.name.size() < 256) {
                        tableEntry.name.append(c);
                    }
                }
                return;
            case Destination::ColorTable:
                for (QChar c : text) {
                    if (c == QChar(';')) {
                        StoreColor();
                    }
                }
                return;
            case Destination::Skip:
                return;
        }
        if (state.chars.hidden || text.isEmpty()) {
            return;
        }
        if (!(state.chars == runProps)) {
            // Laying out a paragraph costs Qt more than linear time in its runs of format, so
            // past a bound further changes of format are dropped: the text keeps the last one.
            if (runsInParagraph < MAX_RUNS_PER_PARAGRAPH && runs < MAX_RUNS) {
                FlushText();
                runProps = state.chars;
                ++runsInParagraph;
                ++runs;
            }
        }
        if (characters + pendingText.size() + text.size() > RTF_MAX_TEXT_CHARACTERS) {
            finished = true;
            return;
        }
        pendingText.append(text);
    }

    // Ends the current run; its text waits with the paragraph's other runs.
    void FlushText() {
        if (pendingText.isEmpty()) {
            return;
        }
        paragraphPara = State().para;  // a paragraph that ends without \par keeps this format
        characters += pendingText.size();
        if (!paragraphRuns.empty() && paragraphRuns.back().props == runProps) {
            paragraphRuns.back().text.append(pendingText);
        } else {
            paragraphRuns.push_back({std::move(pendingText), runProps, CharFormat(runProps)});
        }
        pendingText.clear();
    }

    // Puts the paragraph's runs at the cursor, with break opportunities where Qt needs them:
    // those depend on the paragraph's whole text.
    void CommitText() {
        FlushText();
        if (paragraphRuns.empty()) {
            return;
        }
        QString text;
        for (const TextRun& run : paragraphRuns) {
            text.append(run.text);
        }
        const std::vector<qsizetype> breaks = ForcedBreaks(text);
        cursor.setBlockFormat(BlockFormat(paragraphPara));
        qsizetype offset = 0;
        std::size_t next = 0;
        for (const TextRun& run : paragraphRuns) {
            cursor.insertText(WithBreaks(run.text, offset, breaks, next), run.format);
            offset += run.text.size();
        }
        paragraphRuns.clear();
    }

    void EndParagraph() {
        if (State().destination != Destination::Text) {
            return;
        }
        PlaceParagraph(State().para.inTable);
        CommitText();
        if (paragraphs + 1 >= RTF_MAX_PARAGRAPHS) {
            finished = true;
            return;
        }
        cursor.setBlockFormat(BlockFormat(State().para));
        cursor.insertBlock(QTextBlockFormat(), CharFormat(State().chars));
        ++paragraphs;
        runsInParagraph = 0;
    }

    // Moves the cursor into the table cell or out of the table, as the paragraph is or is not
    // in a table.
    void PlaceParagraph(bool inTable) {
        FlushText();
        if (!inTable || !EnterCell()) {
            LeaveTable();
        }
    }

    void LeaveTable() {
        if (table != nullptr) {
            cursor.setPosition(table->lastPosition() + 1);  // the paragraph after the table
            table = nullptr;
        }
    }

    // Puts the cursor into the cell the next table text goes to, beginning the table or its
    // next row if need be; false once the document has had its share of cells. A row with more
    // cells than a table can have ends in its last cell.
    bool EnterCell() {
        if (table != nullptr && inCell) {
            return true;
        }
        if (table == nullptr || rowEnded) {
            if (tableCells >= MAX_TABLE_CELLS) {
                return false;
            }
            if (table != nullptr && tableRow + 1 >= MAX_TABLE_ROWS) {
                LeaveTable();
            }
        }
        if (table == nullptr) {
            const int columns = std::max<int>(1, static_cast<int>(rowEdges.size()));
            QTextTableFormat format;
            format.setBorder(1);
            format.setBorderBrush(QColor(Qt::gray));
            format.setBorderCollapse(true);
            format.setCellSpacing(0);
            format.setCellPadding(TABLE_CELL_PADDING);
            // Qt puts a table after the paragraph the cursor is in: one just begun would stay
            // as an empty line before the table.
            if (cursor.block().length() <= 1 && InSameCell(cursor.block().previous(), cursor)) {
                cursor.deletePreviousChar();
            }
            table = cursor.insertTable(1, columns, format);
            tableCells += columns;
            tableRow = 0;
            tableColumn = 0;
            widthsSet = false;
            SetColumnWidths();
        } else if (rowEnded) {
            table->appendRows(1);
            tableCells += table->columns();
            ++tableRow;
            tableColumn = 0;
        }
        rowEnded = false;
        inCell = true;
        if (tableColumn >= table->columns() && table->columns() < MAX_TABLE_COLUMNS) {
            table->appendColumns(1);
            tableCells += table->rows();
        }
        if (tableColumn < table->columns()) {
            cursor = table->cellAt(tableRow, tableColumn).firstCursorPosition();
        } else {
            if (tableCells >= MAX_TABLE_CELLS) {
                inCell = false;
                return false;
            }
            ++tableCells;
            cursor = table->cellAt(tableRow, table->columns() - 1).lastCursorPosition();
            paragraphRuns.insert(paragraphRuns.begin(),
                                 {QStringLiteral("\t"), runProps, CharFormat(runProps)});
        }
        return true;
    }

    // \cell: whatever the paragraph says, its text is in a table. Past the document's share of
    // cells, a tab as in plain text.
    void EndCell() {
        if (State().destination != Destination::Text) {
            return;
        }
        if (table == nullptr && tableCells >= MAX_TABLE_CELLS) {
            EmitChar(u'\t');
            return;
        }
        FlushText();
        if (!EnterCell()) {
            LeaveTable();
            EmitChar(u'\t');
            return;
        }
        CommitText();
        // A cell whose last paragraph ended with \par keeps no empty paragraph after it.
        if (cursor.block().length() <= 1 && InSameCell(cursor.block().previous(), cursor)) {
            cursor.deletePreviousChar();
        }
        ++tableColumn;
        inCell = false;
        runsInParagraph = 0;
    }

    void EndRow() {
        if (State().destination != Destination::Text) {
            return;
        }
        FlushText();
        if (table == nullptr && paragraphRuns.empty()) {
            if (tableCells >= MAX_TABLE_CELLS) {
                EndParagraph();  // a row of tab-separated cells ends its line
            }
            return;
        }
        if (!paragraphRuns.empty()) {
            // Text after the last \cell belongs to that cell.
            if (table != nullptr && !inCell && tableColumn > 0) {
                --tableColumn;
            }
            PlaceParagraph(true);
            if (table == nullptr) {
                EndParagraph();
                return;
            }
            CommitText();
        }
        SetColumnWidths();
        rowEnded = true;
        inCell = false;
        runsInParagraph = 0;
    }

    // The widths of the row definitions' cells (\cellx is where a cell ends), once per table.
    void SetColumnWidths() {
        if (widthsSet || rowEdges.empty()) {
            return;
        }
        QList<QTextLength> widths;
        int left = rowLeft;
        for (int edge : rowEdges) {
            widths.append(edge > left ? QTextLength(QTextLength::FixedLength,
                                                    (edge - left) / qreal(TWIPS_PER_PIXEL))
                                      : QTextLength());
            left = std::max(left, edge);
        }
        widths.resize(table->columns());
        QTextTableFormat format = table->format();
        format.setColumnWidthConstraints(widths);
        table->setFormat(format);
        widthsSet = true;
    }

    // Whether `block` and the cursor are in the same table cell, or both outside tables.
    static bool InSameCell(const QTextBlock& block, const QTextCursor& at) {
        if (!block.isValid()) {
            return false;
        }
        const QTextCursor other(block);
        QTextTable* const blockTable = other.currentTable();
        return blockTable == at.currentTable() &&
               (blockTable == nullptr || blockTable->cellAt(other) == blockTable->cellAt(at));
    }

    void Finish() {
        FlushText();
        PlaceParagraph(!paragraphRuns.empty() && paragraphPara.inTable);
        CommitText();
        // A word processor ends its last paragraph with \par; that leaves no empty line. The
        // paragraph after a table stays: a table is always followed by one.
        if (cursor.block().length() <= 1 && InSameCell(cursor.block().previous(), cursor)) {
            cursor.deletePreviousChar();
        }
        cursor.movePosition(QTextCursor::Start);
    }

    QTextBlockFormat BlockFormat(const ParaProps& para) const {
        QTextBlockFormat format;
        static const Qt::Alignment alignments[] = {Qt::AlignLeft, Qt::AlignHCenter, Qt::AlignRight,
                                                   Qt::AlignJustify};
        format.setAlignment(alignments[para.align]);
        format.setLeftMargin(para.left / qreal(TWIPS_PER_PIXEL));
        format.setRightMargin(para.right / qreal(TWIPS_PER_PIXEL));
        format.setTextIndent(para.first / qreal(TWIPS_PER_PIXEL));
        format.setTopMargin(para.before / qreal(TWIPS_PER_PIXEL));
        format.setBottomMargin(para.after / qreal(TWIPS_PER_PIXEL));
        // Word processors measure tab stops from the page margin, Qt from where the line
        // starts: for the first line, where list text puts its tab, that is \li plus \fi.
        const int lineStart = para.left + para.first;
        QList<QTextOption::Tab> tabs;
        for (const QTextOption::Tab& tab : para.tabs) {
            const qreal position = tab.position - lineStart / qreal(TWIPS_PER_PIXEL);
            if (position > 0) {
                tabs.append(QTextOption::Tab(position, tab.type, tab.delimiter));
            }
        }
        if (tabs.isEmpty() && para.first < 0) {
            // A hanging indent is a tab stop of its own.
            tabs.append(
                QTextOption::Tab(-para.first / qreal(TWIPS_PER_PIXEL), QTextOption::LeftTab));
        }
        if (!tabs.isEmpty()) {
            format.setTabPositions(tabs);
        }
        if (cursor.blockNumber() == pageBreakBlock) {
            format.setPageBreakPolicy(QTextFormat::PageBreak_AlwaysBefore);
        }
        return format;
    }

    QTextCharFormat CharFormat(const CharProps& chars) const {
        QTextCharFormat format;
        format.setFontWeight(chars.bold ? QFont::Bold : QFont::Normal);
        format.setFontItalic(chars.italic);
        format.setFontUnderline(chars.underline);
        format.setFontStrikeOut(chars.strike);
        format.setVerticalAlignment(chars.vertical > 0   ? QTextCharFormat::AlignSuperScript
                                    : chars.vertical < 0 ? QTextCharFormat::AlignSubScript
                                                         : QTextCharFormat::AlignNormal);
        format.setFontPointSize(chars.halfPoints / 2.0);
        const auto font = fonts.find(chars.font >= 0 ? chars.font : defaultFont);
        if (font != fonts.end() && font->second.codePage != SYMBOL_CODE_PAGE) {
            format.setFontFamilies(QStringList{font->second.name});
            if (font->second.fixedPitch) {
                format.setFontFixedPitch(true);
                format.setFontStyleHint(QFont::TypeWriter);
            }
        }
        if (chars.color >= 0 && static_cast<std::size_t>(chars.color) < colors.size() &&
            colors[chars.color].isValid()) {
            format.setForeground(colors[chars.color]);
        }
        if (chars.background >= 0 && static_cast<std::size_t>(chars.background) < colors.size() &&
            colors[chars.background].isValid()) {
            format.setBackground(colors[chars.background]);
        }
        return format;
    }

    static bool IsLetter(unsigned char c) {
        return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
    }
    static bool IsDigit(char c) { return c >= '0' && c <= '9'; }
    static int HexValue(char c) { return HexDigitValue(static_cast<unsigned char>(c)); }

    std::string_view in;
    std::size_t pos = 0;
    bool finished = false;
    std::vector<GroupState> stack;
    int ignoredGroups = 0;  // groups opened beyond RTF_MAX_GROUP_DEPTH and not yet closed
    int skipCount = 0;      // fallback characters of the last \uN still to skip
    QTextCursor cursor;
    QString pendingText;
    std::string pendingBytes;    // \'hh and 8-bit bytes waiting to be decoded
    bool trailExpected = false;  // pendingBytes ends with the first byte of a double-byte one
    struct TextRun {
        QString text;
        CharProps props;
        QTextCharFormat format;
    };
    std::vector<TextRun> paragraphRuns;  // the paragraph's text not yet in the document
    ParaProps paragraphPara;             // and its format
    int destinationGroup = 0;  // the ignored group that changed the destination, 0 for none
    Destination outerDestination = Destination::Text;  // and the destination before it
    QTextTable* table = nullptr;                       // the table being filled
    int tableRow = 0;
    int tableColumn = 0;        // the cell the next table text goes to
    bool inCell = false;        // the cursor is in that cell
    bool rowEnded = false;      // \row: the next table text begins a row
    bool widthsSet = false;     // the table has its column widths
    int tableCells = 0;         // cells of all tables so far
    std::vector<int> rowEdges;  // \cellx of the row definition, in twips
    int rowLeft = 0;            // \trleft
    int characters = 0;
    int paragraphs = 0;
    int runs = 0;             // runs of differently formatted text in the document
    int runsInParagraph = 0;  // and in the current paragraph
    CharProps runProps;       // the format of the text in pendingText
    int pageBreakBlock = -1;
    int documentCodePage = DEFAULT_CODE_PAGE;
    int defaultFont = 0;
    std::map<int, FontEntry> fonts;
    int tableFont = -1;
    FontEntry tableEntry;
    std::vector<QColor> colors;
    int red = 0;
    int green = 0;
    int blue = 0;
    bool colorComponentSet = false;
    CCodePageDecoders decoders;
};

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
