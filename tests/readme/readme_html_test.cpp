// The browser page's ReadMe: well-formed HTML with the document's text and structure, and
// nothing in the document becoming markup or a script link.
#include "readme/readme_html.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QRegularExpression>
#include <QTextCursor>
#include <QTextDocument>
#include <QXmlStreamReader>
#include <set>

#include "readme/rtf_reader.h"
#include "readme_fixture.h"

namespace {

// The fragment as an XML parser sees it inside a wrapper element.
struct Parsed {
    QString error;  // empty when well-formed
    QString text;   // a space at each block element's edges, as a browser separates them
    QStringList elements;
    std::set<QString> attributes;
    QStringList hrefs;
    QStringList styles;
};

Parsed Parse(const QByteArray& html) {
    static const QStringList BLOCKS = {"p",  "li", "td", "tr", "br", "h1", "h2",
                                       "h3", "h4", "h5", "h6", "ul", "ol", "table"};
    Parsed parsed;
    QXmlStreamReader xml("<div>" + html + "</div>");
    xml.readNext();  // the start of the document
    while (!xml.atEnd()) {
        const QXmlStreamReader::TokenType token = xml.readNext();
        const QString name = xml.name().toString();
        if (token == QXmlStreamReader::StartElement) {
            parsed.elements << name;
            for (const QXmlStreamAttribute& attribute : xml.attributes()) {
                parsed.attributes.insert(attribute.name().toString());
                (attribute.name() == u"href" ? parsed.hrefs : parsed.styles)
                    << attribute.value().toString();
            }
        } else if (token == QXmlStreamReader::Characters) {
            parsed.text += xml.text();
        }
        if ((token == QXmlStreamReader::StartElement || token == QXmlStreamReader::EndElement) &&
            BLOCKS.contains(name)) {
            parsed.text += ' ';
        }
    }
    if (xml.hasError()) {
        parsed.error = QStringLiteral("%1 at %2:%3")
                           .arg(xml.errorString())
                           .arg(xml.lineNumber())
                           .arg(xml.columnNumber());
    }
    parsed.elements.removeFirst();  // the wrapper
    return parsed;
}

// Text as a browser shows it: each run of white space as one space.
std::string Text(const QString& text) {
    return text.simplified().toStdString();
}

std::string Headings(const Parsed& parsed) {
    return parsed.elements.filter(QRegularExpression("^h[1-6]$")).join(u' ').toStdString();
}

QString PlainText(std::string_view rtf) {
    QTextDocument document;
    ReadRtf(rtf, document);
    return document.toPlainText();
}

// The only elements, attributes and inline styles the page gets.
void ExpectOnlyPageMarkup(const Parsed& parsed, const std::string& source) {
    static const QStringList ELEMENTS = {"p",  "h1", "h2",    "h3",  "h4",  "h5", "h6",     "ul",
                                         "ol", "li", "table", "tr",  "td",  "br", "strong", "em",
                                         "u",  "s",  "code",  "sup", "sub", "a",  "span"};
    for (const QString& element : parsed.elements) {
        EXPECT_TRUE(ELEMENTS.contains(element)) << element.toStdString() << " in " << source;
    }
    for (const QString& attribute : parsed.attributes) {
        EXPECT_TRUE(QStringList({"href", "style", "rowspan", "colspan"}).contains(attribute))
            << attribute.toStdString() << " in " << source;
    }
    static const QRegularExpression STYLE(
        "^(text-align:(center|right|justify)|list-style:none|"
        "(color:#[0-9a-f]{6};?)?(background-color:#[0-9a-f]{6};?)?(font-size:[0-9.]+em)?)$");
    for (const QString& style : parsed.styles) {
        EXPECT_TRUE(!style.isEmpty() && STYLE.match(style).hasMatch())
            << style.toStdString() << " in " << source;
    }
}

// The shipped ReadMe and every sample document (the folder's other files too, read as plain
// text as the desktop reads them): well-formed, the desktop's text, the page's markup only.
TEST(ReadMeHtml, DocumentsGiveWellFormedHtmlWithTheDesktopsTextAndStructure) {
    QStringList paths = {README_SHIPPED};
    for (const QString& name : QDir(README_TEST_DATA).entryList(QDir::Files, QDir::Name)) {
        paths << README_TEST_DATA "/" + name;
    }
    ASSERT_GE(paths.size(), 5);
    for (const QString& path : paths) {
        const std::string source = path.toStdString();
        const std::string rtf = ReadFile(source);
        const QByteArray html = RtfToHtml(rtf);
        const Parsed parsed = Parse(html);
        EXPECT_EQ(parsed.error.toStdString(), "") << source;
        EXPECT_EQ(Text(parsed.text), Text(PlainText(rtf))) << source;
        ExpectOnlyPageMarkup(parsed, source);
        EXPECT_EQ(RtfToHtml(rtf), html) << source;
    }

    const std::string readme = ReadFile(README_SHIPPED);
    const QString html = QString::fromUtf8(RtfToHtml(readme));
    const Parsed shipped = Parse(html.toUtf8());
    EXPECT_TRUE(
        html.startsWith("<p style=\"text-align:center\"><span style=\"color:#003399;"
                        "font-size:1.82em\"><strong>Palvex – Demo and Test</strong>"))
        << html.left(200).toStdString();
    EXPECT_TRUE(html.contains("<strong>the Kit</strong>"));
    EXPECT_TRUE(html.contains("<em>19200 baud, 8 data bits, no parity, one stop bit</em>"));
    EXPECT_TRUE(html.contains("<code>/dev/ttyUSB*</code>"));
    // Each of the document's list paragraphs is an item; it has no headings, so no <hN>.
    EXPECT_EQ(shipped.elements.count("li"), QString::fromStdString(readme).count("{\\pntext"));
    EXPECT_EQ(Headings(shipped), "");
    const Parsed pandoc = Parse(RtfToHtml(ReadFile(README_TEST_DATA "/guide-pandoc.rtf")));
    EXPECT_EQ(Headings(pandoc), "h1 h2");
}

TEST(ReadMeHtml, DocumentTextNeverBecomesMarkupAndOnlyWebLinksStay) {
    const std::string rtf =
        "{\\rtf1\\ansi {\\b <script>alert(1)</script>} &amp; \"double\" 'single' "
        "\\'3cimg src=x onerror=alert(2)\\'3e "
        "{\\field{\\*\\fldinst HYPERLINK \"javascript:alert(1)\"}{\\fldrslt click me}}\\par "
        "bell\\'07 unit\\u31 ? lone\\u-10179 ? end\\par "
        "\\trowd\\cellx1000\\cellx2000 \\intbl a<b\\cell {\\i c&d}\\cell\\row}";
    const Parsed parsed = Parse(RtfToHtml(rtf));
    ASSERT_EQ(parsed.error.toStdString(), "");
    ExpectOnlyPageMarkup(parsed, rtf);
    EXPECT_TRUE(parsed.hrefs.isEmpty());
    for (const char* text : {"<script>alert(1)</script> &amp; \"double\" 'single' <img src=x "
                             "onerror=alert(2)> click me",
                             "a<b c&d"}) {
        EXPECT_TRUE(parsed.text.simplified().contains(QString::fromUtf8(text)))
            << parsed.text.toStdString();
    }
    EXPECT_EQ(parsed.elements.count("table"), 1);
    EXPECT_EQ(parsed.elements.count("td"), 2);
    EXPECT_EQ(parsed.elements.count("strong"), 1);
    EXPECT_EQ(parsed.elements.count("em"), 1);

    // Links a document reader could have made: only those that run nothing keep their target,
    // whatever a browser would strip from them first; the others keep their text.
    const QStringList safe = {"https://example.org/?a=1&b=\"2\"'<x>", "http://x", "MAILTO:a@b"};
    const QStringList unsafe = {"javascript:alert(1)",
                                "JavaScript:x",
                                " javascript:x",
                                "java\tscript:x",
                                "data:text/html,<script>x</script>",
                                "vbscript:x",
                                "//elsewhere",
                                "#top",
                                "http://x\n"};
    QTextDocument document;
    QTextCursor cursor(&document);
    for (const QString& href : safe + unsafe) {
        QTextCharFormat link;
        link.setAnchor(true);
        link.setAnchorHref(href);
        cursor.insertText("link " + href, link);
        cursor.insertBlock();
    }
    const Parsed links = Parse(ReadMeHtml(document).toUtf8());
    ASSERT_EQ(links.error.toStdString(), "");
    EXPECT_EQ(links.hrefs.join(u'|').toStdString(), safe.join(u'|').toStdString());
    EXPECT_EQ(Text(links.text), Text(document.toPlainText()));
}

}  // namespace
