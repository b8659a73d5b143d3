// The RTF reader on small documents per feature, on word processors' samples, and on broken input.
#include "readme/rtf_reader.h"

#include <gtest/gtest.h>

#include <QElapsedTimer>
#include <QFileInfo>
#include <QTextBlock>
#include <QTextBoundaryFinder>
#include <QTextCursor>
#include <QTextDocument>
#include <QTextTable>
#include <random>

#include "readme_fixture.h"

namespace {

// The text with paragraphs ended by '\n' and every other character as the document has it.
QString Text(std::string_view rtf) {
    QTextDocument document;
    ReadRtf(rtf, document);
    return document.toRawText().replace(QChar::ParagraphSeparator, '\n');
}

// Each document read shows its text, given in UTF-8.
void ExpectTexts(const std::vector<std::pair<std::string, const char*>>& documents) {
    for (const auto& [rtf, text] : documents) {
        EXPECT_EQ(Text(rtf), QString::fromUtf8(text)) << rtf.substr(0, 100);
    }
}

std::string Repeated(const std::string& piece, int count) {
    return QByteArray::fromStdString(piece).repeated(count).toStdString();
}

// The cursor selecting the first occurrence of `word`; its formats are those of the word's end.
QTextCursor Find(const QTextDocument& document, const QString& word) {
    const QTextCursor found = document.find(word);
    EXPECT_FALSE(found.isNull()) << word.toStdString();
    return found;
}

TEST(RtfReader, CharacterFormattingRuns) {
    QTextDocument document;
    ReadRtf(
        "{\\rtf1\\ansi{\\fonttbl{\\f0\\fswiss Arial;}{\\f1\\fmodern Courier New;}}"
        "{\\colortbl;\\red255\\green0\\blue0;\\red0\\green0\\blue255;}"
        "plain \\b bold\\b0  \\i italic\\i0  {\\ul under} {\\strike struck} x{\\super sup} "
        "y{\\sub sub} z{\\up6 up}\\nosupersub  \\fs40 big\\fs24  \\cf1 red\\cf0  "
        "\\highlight2 marked\\highlight0  \\ul u2\\ulnone  after {\\f1 mono} \\b\\i both\\plain  "
        "reset}",
        document);
    EXPECT_EQ(document.toPlainText(),
              "plain bold italic under struck xsup ysub zup big red marked u2 after mono both "
              "reset");
    const auto format = [&](const char* word) { return Find(document, word).charFormat(); };
    EXPECT_EQ(format("plain").fontWeight(), QFont::Normal);
    EXPECT_EQ(format("bold").fontWeight(), QFont::Bold);
    EXPECT_TRUE(format("italic").fontItalic());
    EXPECT_TRUE(format("under").fontUnderline());
    EXPECT_TRUE(format("struck").fontStrikeOut());
    EXPECT_FALSE(format("struck").fontUnderline());  // the group ended
    EXPECT_EQ(format("sup").verticalAlignment(), QTextCharFormat::AlignSuperScript);
    EXPECT_EQ(format("sub").verticalAlignment(), QTextCharFormat::AlignSubScript);
    EXPECT_DOUBLE_EQ(format("big").fontPointSize(), 20.0);
    EXPECT_EQ(format("red").foreground().color(), QColor(255, 0, 0));
    EXPECT_FALSE(format("marked").hasProperty(QTextFormat::ForegroundBrush));
    EXPECT_EQ(format("marked").background().color(), QColor(0, 0, 255));
    EXPECT_TRUE(format("u2").fontUnderline());
    EXPECT_FALSE(format("after").fontUnderline());
    EXPECT_EQ(format("after").fontFamilies().toStringList(), QStringList{"Arial"});
    EXPECT_EQ(format("mono").fontFamilies().toStringList(), QStringList{"Courier New"});
    EXPECT_TRUE(format("both").fontWeight() == QFont::Bold && format("both").fontItalic());
    EXPECT_FALSE(format("reset").fontWeight() == QFont::Bold || format("reset").fontItalic());
}

TEST(RtfReader, ParagraphsAlignmentAndIndents) {
    QTextDocument document;
    ReadRtf(
        "{\\rtf1 \\qc centred\\par \\qr right\\par \\qj justified\\par \\pard left\\line next"
        "\\par \\li1440\\ri720\\fi-360 indented\\tab x\\par \\pard\\page after\\par}",
        document);
    ASSERT_EQ(document.blockCount(), 6);  // the final \par leaves no empty paragraph
    EXPECT_EQ(document.toPlainText(), "centred\nright\njustified\nleft\nnext\nindented\tx\nafter");
    EXPECT_EQ(document.findBlockByNumber(3).text(),
              QString("left") + QChar::LineSeparator + "next");
    int block = 0;
    for (Qt::Alignment a : {Qt::AlignHCenter, Qt::AlignRight, Qt::AlignJustify, Qt::AlignLeft}) {
        EXPECT_EQ(document.findBlockByNumber(block++).blockFormat().alignment(), a) << block;
    }
    const QTextBlockFormat indented = document.findBlockByNumber(4).blockFormat();
    EXPECT_DOUBLE_EQ(indented.leftMargin(), 96.0);  // 1440 twips are an inch: 96 pixels
    EXPECT_DOUBLE_EQ(indented.rightMargin(), 48.0);
    EXPECT_DOUBLE_EQ(indented.textIndent(), -24.0);
    ASSERT_EQ(indented.tabPositions().size(), 1);  // the hanging indent, from the line's start
    EXPECT_DOUBLE_EQ(indented.tabPositions()[0].position, 24.0);
    EXPECT_EQ(indented.alignment(), Qt::AlignLeft);
    EXPECT_EQ(document.findBlockByNumber(5).blockFormat().pageBreakPolicy(),
              QTextFormat::PageBreak_AlwaysBefore);
    EXPECT_DOUBLE_EQ(document.findBlockByNumber(5).blockFormat().leftMargin(), 0.0);

    // A last paragraph without \par keeps its format.
    QTextDocument last;
    ReadRtf("{\\rtf1 {\\qr right}}", last);
    EXPECT_EQ(last.begin().blockFormat().alignment(), Qt::AlignRight);
}

TEST(RtfReader, CodePagesUnicodeAndSymbols) {
    ExpectTexts({
        // 1252 by default, including its own 0x80..0x9F; another \ansicpg; a font's charset.
        {"{\\rtf1\\ansi caf\\'e9 \\'80 \\'93q\\'94 na\\'efve}", "café € “q” naïve"},
        {"{\\rtf1\\ansi\\ansicpg1251 \\'c4\\'e0}", "Да"},
        {"{\\rtf1\\ansi{\\fonttbl{\\f0 Arial;}{\\f1\\fcharset161 Greek;}}\\'e9{\\f1\\'e1}}", "éα"},
        // \uN with its fallback skipped; \ucN counts; negative N; a surrogate pair; raw 8-bit
        // text. Symbol fonts' characters where Windows puts them; one beyond 16 bits as it is.
        {"{\\rtf1 \\u233?t\\u8364? {\\uc2\\u937 xx!\\u937\\'3f\\'3f!}"
         "\\uc0\\u8226 .\\uc1\\u-3913?\\u61623?\\u-10179?\\u-8704?\\u128512?end \xe9}",
         "ét€ Ω!Ω!•.••😀😀end é"},
        // Double-byte code pages, their second byte as an ASCII letter or an escaped backslash.
        {"{\\rtf1\\ansi\\ansicpg932 \\'83e\\'83X\\'83g \\'83\\\\}", "テスト ソ"},
        {"{\\rtf1\\ansicpg950 \\'a5\\\\\\'a5\\'5c}", "功功"},
        {"{\\rtf1\\ansicpg949 \\'81A\\ansicpg936 \\'81@}", "갂丂"},
        // A UTF-8 byte order mark before the RTF, and before plain text.
        {"\xEF\xBB\xBF{\\rtf1 \\b x}", "x"},
        {"\xEF\xBB\xBFna\xC3\xAFve", "naïve"},
        // The fallback of \u stops at a group end; a control word counts as one character.
        {"{\\rtf1\\uc3 {\\u233 a}b\\u233\\par cdef}", "ébéef"},
        {"{\\rtf1 a\\\\b\\{c\\}d\\~e\\-f\\_g\\emdash\\endash\\bullet\\lquote\\rquote"
         "\\ldblquote\\rdblquote\\tab|}",
         "a\\b{c}d\u00a0e\u00adf\u2011g—–•‘’“”\t|"},
    });
    // A font name in its own code page.
    QTextDocument fonts;
    ReadRtf(
        "{\\rtf1\\ansi{\\fonttbl{\\f0\\fcharset128 \\'82\\'6c\\'82\\'72 "
        "\\'83\\'53\\'83\\'56\\'83\\'62\\'83\\'4e;}}\\f0 \\'83e}",
        fonts);
    EXPECT_EQ(fonts.toPlainText(), QString::fromUtf8("テ"));
    EXPECT_EQ(Find(fonts, QString::fromUtf8("テ")).charFormat().fontFamilies().toStringList(),
              QStringList{QString::fromUtf8("ＭＳ ゴシック")});
    // A document may name any number of code pages; the decoders kept stay few.
    CCodePageDecoders decoders;
    for (int codePage = 1; codePage < 3000; ++codePage) {
        decoders.Decode(codePage, "\xc4");
    }
    EXPECT_LE(decoders.Cached(), RTF_MAX_CACHED_DECODERS);
    EXPECT_EQ(decoders.Decode(1251, "\xc4\xe0"), QString::fromUtf8("Да"));
    EXPECT_EQ(decoders.Decode(99999, "\x80"), QString::fromUtf8("€"));  // unknown: 1252
}

// Runs without a line break opportunity get a zero-width space at least every 1000 characters,
// Qt deciding what breaks; never inside a character or before a mark; nothing else changes.
TEST(RtfReader, LongRunsGetBreakOpportunitiesWhereQtHasNone) {
    const QString nbsp = QString(QChar(0x00A0));
    const struct {
        std::string piece;  // repeated 3000 times
        QString shown;
        bool breaks;  // whether a zero-width space is wanted
    } cases[] = {
        {"a\\~", "a" + nbsp, true},
        {"a\\'a0", "a" + nbsp, true},
        {"a\\u8239?", QString::fromUtf8("a\u202F"), true},
        {"-1", "-1", true},
        {"a\\u-10187?\\u-9216?", QString::fromUtf8("a\U0001D400"), true},
        {"ab\\u769?", QString::fromUtf8("ab\u0301"), true},
        {"ab ", "ab ", false},
        {"a-", "a-", false},
        {"a\\tab ", "a\t", false},
    };
    for (const auto& c : cases) {
        const QString text = Text("{\\rtf1 " + Repeated(c.piece, 3000) + "}");
        EXPECT_EQ(QString(text).remove(QChar(0x200B)), c.shown.repeated(3000)) << c.piece;
        EXPECT_EQ(text.contains(QChar(0x200B)), c.breaks) << c.piece;
        QTextBoundaryFinder lines(QTextBoundaryFinder::Line, text);
        qsizetype last = 0;
        qsizetype longest = 0;
        while (lines.toNextBoundary() >= 0) {
            longest = std::max(longest, lines.position() - last);
            last = lines.position();
        }
        EXPECT_LE(longest, 1002) << c.piece;
        for (qsizetype i = text.indexOf(QChar(0x200B)); i >= 0;
             i = text.indexOf(QChar(0x200B), i + 1)) {
            ASSERT_LT(i + 1, text.size());
            EXPECT_FALSE(text[i + 1].isLowSurrogate() || text[i + 1].isMark()) << c.piece << i;
        }
    }
    // The start-up case: a long run read and laid out as the page does.
    QTextDocument document;
    ReadRtf("{\\rtf1 " + Repeated("a\\~", 200000) + "}", document);
    document.setTextWidth(560);
    EXPECT_GT(document.size().height(), 1000);
}

// \trowd ... \cell ... \row as a table with the \cellx widths, as word processors write it.
TEST(RtfReader, TablesWithTheirCellWidths) {
    QTextDocument document;
    ReadRtf(
        "{\\rtf1 before\\par\\trowd\\trgaph108\\trleft-108\\cellx1332\\cellx4212"
        "\\pard\\intbl {\\b A}\\cell B1\\par B2\\cell\\pard\\intbl\\row"
        "{\\trowd\\cellx1440\\cellx4320\\intbl{\\pard\\intbl "
        "C\\par}\\cell{\\pard\\intbl\\par}\\cell "
        "\\intbl\\row}\\pard after\\par}",
        document);
    EXPECT_EQ(document.toPlainText(), "before\nA\nB1\nB2\nC\n\nafter");
    QTextTable* table = QTextCursor(document.find("A")).currentTable();
    ASSERT_NE(table, nullptr);
    EXPECT_EQ(table->rows(), 2);
    EXPECT_EQ(table->columns(), 2);
    const QList<QTextLength> widths = table->format().columnWidthConstraints();
    ASSERT_EQ(widths.size(), 2);
    EXPECT_DOUBLE_EQ(widths[0].rawValue(), 96.0);  // from \trleft to the first \cellx
    EXPECT_DOUBLE_EQ(widths[1].rawValue(), 192.0);
    EXPECT_EQ(table->cellAt(0, 0).firstCursorPosition().block().text(), "A");
    EXPECT_EQ(Find(document, "A").charFormat().fontWeight(), QFont::Bold);
    QTextCursor b(table->cellAt(0, 1).firstCursorPosition());
    b.setPosition(table->cellAt(0, 1).lastPosition(), QTextCursor::KeepAnchor);
    EXPECT_EQ(b.selectedText(), QString("B1") + QChar::ParagraphSeparator + "B2");
    EXPECT_EQ(table->cellAt(1, 0).firstCursorPosition().block().text(), "C");
    EXPECT_EQ(table->cellAt(1, 1).firstCursorPosition().block().text(), "");
    EXPECT_EQ(QTextCursor(document.find("before")).currentTable(), nullptr);
    EXPECT_EQ(QTextCursor(document.find("after")).currentTable(), nullptr);

    // A row with more cells than the table has columns; a long table, past the cells a document
    // may have as tables; a \cell outside tables.
    QTextDocument wide;
    ReadRtf("{\\rtf1 \\trowd\\cellx100\\intbl a\\cell b\\cell\\row \\intbl c\\cell\\row}", wide);
    ASSERT_NE(QTextCursor(wide.find("b")).currentTable(), nullptr);
    EXPECT_EQ(QTextCursor(wide.find("b")).currentTable()->columns(), 2);
    const QString all = Text("{\\rtf1 " + Repeated("\\intbl x\\cell y\\cell\\row ", 6000) + "}");
    EXPECT_EQ(all.count('x'), 6000);
    EXPECT_TRUE(all.endsWith("x\ty\t"));
    ReadRtf("{\\rtf1 a\\cell b}", wide);
    EXPECT_EQ(wide.toPlainText(), "\na\nb");  // Qt begins a document with a paragraph
}

TEST(RtfReader, SkippedDestinationsLeaveNoText) {
    const QString text = Text(
        "{\\rtf1\\ansi{\\fonttbl{\\f0\\fnil Calibri{\\*\\falt Arial};}}{\\colortbl;\\red1;}"
        "{\\stylesheet{\\s0 Normal;}}{\\info{\\title T}{\\author A}}{\\*\\generator G;}"
        "{\\header head}{\\footerl foot}{\\headerf hf}{\\*\\unknown dest}"
        "{\\pict\\pngblip 89504e47\\bin4 }{}x}a{\\*\\shppict{\\pict ffff}}{\\nonshppict{\\pict 00}}"
        "{\\field{\\*\\fldinst HYPERLINK \"http://x\"}{\\fldrslt link}}"
        "{\\listtable{\\list{\\listlevel{\\leveltext \\'01\\u8226 ?;}}}}"
        "{\\pntext\\f0 1.\\tab}{\\*\\pn\\pnlvlbody{\\pntxta .}}{\\pn\\pnlvlblt{\\pntxtb x}}item"
        "{\\footnote note} \\v hidden\\v0 shown}");
    EXPECT_EQ(text, "alink1.\titem shown");
}

// Documents as word processors save them.
TEST(RtfReader, WordProcessorSamples) {
    const QString accents = QString::fromUtf8(
        "Accents: café, naïve, Zürich, señor, 25 °C, 10 µs, © 2026, “quoted”, ‘single’, € 5.");
    QTextDocument libre;
    ReadRtf(ReadFile(README_TEST_DATA "/guide-libreoffice.rtf"), libre);
    const QString libreText = libre.toPlainText();
    EXPECT_TRUE(libreText.startsWith("Evaluation board guide\nThis board talks"));
    EXPECT_TRUE(libreText.contains(accents));
    EXPECT_TRUE(libreText.contains(QString::fromUtf8("•\tPlug the board in.")));
    EXPECT_FALSE(libreText.contains("Normal") || libreText.contains("LibreOffice") ||
                 libreText.contains("?"));
    EXPECT_DOUBLE_EQ(Find(libre, "Evaluation").charFormat().fontPointSize(), 24.0);
    EXPECT_EQ(Find(libre, "Centred red").blockFormat().alignment(), Qt::AlignHCenter);
    EXPECT_EQ(Find(libre, "Centred red").charFormat().foreground().color(), QColor(192, 0, 0));

    const QString pandoc = Text(ReadFile(README_TEST_DATA "/guide-pandoc.rtf"));
    EXPECT_TRUE(pandoc.contains(accents));
    EXPECT_TRUE(pandoc.contains(QString::fromUtf8("2.\tSecond numbered step — with an em dash")));
    const QString wordpad = Text(ReadFile(README_TEST_DATA "/wordpad-style.rtf"));
    EXPECT_TRUE(wordpad.contains("1.\tPlug the board in.\n2.\tStart the tool."));
    EXPECT_TRUE(wordpad.contains(QString::fromUtf8("Unicode: € and Ωmega, escapes \\ { } done.")));
}

// The shipped ReadMe as the page shows it. uaccess takes effect in 73-seat-late.rules: a rule
// sorted after it gives nobody access. The rule matches the Kit's hidraw node, and both
// documents quote it so that a pasted copy works: the same line, straight quotes.
TEST(ShippedDocs, ReadmeReadsAndTheUdevRuleSortsBeforeUaccessAndIsQuotedExactly) {
    const QString ruleName = QFileInfo(QStringLiteral(UDEV_RULE)).fileName();
    EXPECT_LT(ruleName, QStringLiteral("73-seat-late.rules"));
    const QString line = QStringLiteral(
        R"(SUBSYSTEM=="hidraw", ATTRS{idVendor}=="d804", ATTRS{idProduct}=="0032", TAG+="uaccess")");
    const QString rule = QString::fromUtf8(ReadFile(UDEV_RULE));
    EXPECT_TRUE(rule.split('\n').contains(line)) << rule.toStdString();

    QTextDocument shipped;
    ReadRtf(ReadFile(README_SHIPPED), shipped);
    const QString text = shipped.toPlainText();
    EXPECT_TRUE(text.startsWith(QString::fromUtf8("Palvex – Demo and Test\n")));
    EXPECT_TRUE(text.contains(QString::fromUtf8("•\t")) && text.contains("dialout") &&
                text.contains("palvex-sim"));
    EXPECT_EQ(Find(shipped, "Palvex").blockFormat().alignment(), Qt::AlignHCenter);
    EXPECT_EQ(Find(shipped, "The buttons").charFormat().fontWeight(), QFont::Bold);
    EXPECT_TRUE(Find(shipped, "19200 baud").charFormat().fontItalic());
    const QString readme = QString::fromUtf8(ReadFile(README_MD));
    for (const QString& document : {text, readme}) {
        EXPECT_TRUE(document.contains(line));
        EXPECT_TRUE(document.contains("sudo cp res/" + ruleName + " /etc/udev/rules.d/"));
        EXPECT_EQ(document.count("-palvex-kit.rules"), document.count(ruleName));
    }
}

TEST(RtfReader, BrokenInputEndsWithWhatWasUnderstood) {
    QElapsedTimer timer;
    timer.start();
    ExpectTexts({
        {"{\\rtf1 {\\b open", "open"},
        {"{\\rtf1 a}} b}", "a"},
        {"{\\rtf1 a}}}{\\b c", "a"},
        {"{\\rtf1 abc\\", "abc"},
        {"{\\rtf1 abc\\'", "abc"},
        {"{\\rtf1 abc\\'e", "abc"},
        {"{\\rtf1 abc\\u", "abc"},
        {"{\\rtf1 abc\\fs999999999999999999 d\\li-99999999999 e\\uc2147483647\\u1 fg}", "abcde"},
        {"{\\rtf1 a{\\pict\\bin999999999 }}b", "a"},
        {"no rtf\nat all", "no rtf\nat all"},
        {"", ""},
        // Deep nesting: closed, never closed, and closed too often.
        {"{\\rtf1 " + std::string(10000, '{') + "x" + std::string(10000, '}') + "y}", "xy"},
        {"{\\rtf1 " + std::string(1005, '{') + "a{\\*\\x y}b{\\info z}c" + std::string(1005, '}') +
             "d}",
         "abcd"},
        {"{\\rtf1 " + std::string(10000, '{') + "\\b x", "x"},
    });
    EXPECT_EQ(Text("{\\rtf1 " + Repeated("{\\b\\i\\fs30\\cf1 t", 10000)).count('t'), 10000);

    // Random bytes and random RTF-looking fragments.
    std::mt19937 random(1234);
    const std::vector<std::string> pieces = {
        "{",   "}",         "\\",         "\\'", "\\u", "\\uc",  "-",  "9", "\\par", "\\b",
        "\\*", "\\fonttbl", "\\colortbl", ";",   "\\f", "\\bin", "e9", " ", "x",     "\xe9"};
    for (int round = 0; round < 300; ++round) {
        std::string input = round % 2 == 0 ? "{\\rtf1 " : "";
        for (int i = 0; i < 2000; ++i) {
            input += round % 3 == 0 ? std::string(1, static_cast<char>(random() & 0xFF))
                                    : pieces[random() % pieces.size()];
        }
        QTextDocument document;
        ReadRtf(input, document);
        EXPECT_LE(document.characterCount(), static_cast<int>(input.size()) + 1);
    }
    EXPECT_LT(timer.elapsed(), 20000);
}

}  // namespace
