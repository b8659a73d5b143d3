// The RTF reader's parser, shared by the files that make it up: the tokenizer
// (rtf_parser.cpp), control words with their destinations, runs and formats
// (rtf_destinations.cpp) and tables (rtf_tables.cpp). Only the reader includes this.
#pragma once

#include <QColor>
#include <QString>
#include <QTextBlock>
#include <QTextBlockFormat>
#include <QTextCharFormat>
#include <QTextCursor>
#include <QTextOption>
#include <QTextTable>
#include <array>
#include <map>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "channel/hex_digit.h"
#include "readme/rtf_reader.h"

class QTextDocument;

namespace rtf {

inline constexpr int DEFAULT_CODE_PAGE = 1252;
inline constexpr int SYMBOL_CODE_PAGE = 42;  // fonts with \fcharset2: bullets rather than letters
inline constexpr int DEFAULT_HALF_POINTS = 24;
inline constexpr int MAX_HALF_POINTS = 3276;  // 1638 points, the largest size word processors offer
inline constexpr int MAX_TWIPS = 20000;       // about 35 cm; larger indents only hide the text
inline constexpr int TWIPS_PER_PIXEL = 15;    // 1440 twips an inch, 96 pixels an inch
inline constexpr int DEFAULT_TAB_TWIPS = 720;  // \deftab when the document has none: half an inch
inline constexpr std::size_t MAX_TAB_STOPS = 64;
inline constexpr int MAX_RUNS_PER_PARAGRAPH = 256;
inline constexpr int MAX_RUNS = 100000;
inline constexpr int MAX_UNBROKEN = 1000;
inline constexpr int MAX_TABLE_COLUMNS = 63;  // what word processors allow in a row
// Growing a QTextTable rebuilds its whole cell grid, so a long table is shown as several.
inline constexpr int MAX_TABLE_ROWS = 256;
// Qt lays out a table cell in some 30 µs: past this many, cells are tab-separated text.
inline constexpr int MAX_TABLE_CELLS = 10000;
inline constexpr qreal TABLE_CELL_PADDING = 4;
inline constexpr std::size_t MAX_TABLE_ENTRIES = 65536;  // fonts and colours each
inline constexpr std::size_t MAX_WORD_LETTERS = 32;
inline constexpr int MAX_PARAMETER_DIGITS = 10;

// Windows code page 1252 for 0x80..0x9F; the rest of the page equals Latin-1.
inline constexpr std::array<char16_t, 32> CP1252_HIGH = {
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
    int outline = -1;      // \outlinelevelN: a heading of level N + 1
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
    RowDefaults, CellEdge, RowLeft, Row, OutlineLevel
};

// clang-format on

// The control words the reader knows, by name.
const std::unordered_map<std::string_view, Key>& Keywords();

// The code page a font's \fcharset selects; 0 keeps the document's.
int CharsetCodePage(int charset);

// Code page 1252 as Windows decodes it.
QString DecodeCp1252(std::string_view bytes);

// Symbol fonts only appear in list markers in practice; give them the bullets they draw.
QString DecodeSymbol(std::string_view bytes);

// The name Qt knows a Windows code page by.
QByteArray CodePageName(int codePage);

// Where a zero-width space goes into `text`: after MAX_UNBROKEN characters without a line break
// opportunity, since Qt's line breaking takes time quadratic in the length of such a run. The
// opportunities are Qt's own; the space goes between grapheme clusters only, so it never splits
// a surrogate pair nor parts a combining mark from its letter.
std::vector<qsizetype> ForcedBreaks(const QString& text);

// `text` with the zero-width spaces of ForcedBreaks; `offset` is where `text` starts in the
// string the breaks were found in, `next` the first break not yet placed.
QString WithBreaks(QStringView text, qsizetype offset, const std::vector<qsizetype>& breaks,
                   std::size_t& next);

class CRtfParser {
  public:
    CRtfParser(std::string_view input, QTextDocument& document);
    void Run();

  private:
    // Reading the bytes: groups, control words, text bytes and their code pages. (rtf_parser.cpp)
    void OpenGroup();
    void CloseGroup();
    void ReadControl();
    void ReadWord();
    // A byte of text: ASCII at once, others wait so that multi-byte code pages decode whole.
    void TextByte(unsigned char c);
    void PushByte(unsigned char c);
    static bool IsLeadByte(int codePage, unsigned char c);
    int CurrentCodePage() const;
    void FlushBytes();
    // \uN: a signed 16-bit value (surrogate pairs arrive as two in a row), then the fallback.
    // Some writers give characters beyond 16 bits as they are.
    void EmitUnicode(bool hasParameter, int value);
    static bool IsLetter(unsigned char c);

    // Control words, destinations, runs of text, paragraphs and formats. (rtf_destinations.cpp)
    void HandleWord(Key key, bool hasParameter, int value);
    void HandleFontTableWord(Key key, bool hasParameter, int value);
    void HandleColorTableWord(Key key, int value);
    void StoreFont();
    void StoreColor();
    void SetDefaultTabStops(int twips);
    void SetDestination(Destination destination);
    void Emit(QStringView text);
    // Ends the current run; its text waits with the paragraph's other runs.
    void FlushText();
    // Puts the paragraph's runs at the cursor, with break opportunities where Qt needs them:
    // those depend on the paragraph's whole text.
    void CommitText();
    void EndParagraph();
    void Finish();
    QTextBlockFormat BlockFormat(const ParaProps& para) const;
    QTextCharFormat CharFormat(const CharProps& chars) const;

    // Tables. (rtf_tables.cpp)
    // Moves the cursor into the table cell or out of the table, as the paragraph is or is not
    // in a table.
    void PlaceParagraph(bool inTable);
    void LeaveTable();
    // Puts the cursor into the cell the next table text goes to, beginning the table or its
    // next row if need be; false once the document has had its share of cells. A row with more
    // cells than a table can have ends in its last cell.
    bool EnterCell();
    // \cell: whatever the paragraph says, its text is in a table. Past the document's share of
    // cells, a tab as in plain text.
    void EndCell();
    void EndRow();
    // The widths of the row definitions' cells (\cellx is where a cell ends), once per table.
    void SetColumnWidths();
    // Whether `block` and the cursor are in the same table cell, or both outside tables.
    static bool InSameCell(const QTextBlock& block, const QTextCursor& at);

    GroupState& State() { return stack.back(); }
    void EmitChar(char16_t c) { Emit(QStringView(&c, 1)); }
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

}  // namespace rtf
