// The ReadMe as an HTML fragment: a walk over the document's frames, tables, blocks and fragments
// that writes only what the page needs, and escapes everything the document holds.
#include "readme/readme_html.h"

#include <QRegularExpression>
#include <QTextBlock>
#include <QTextDocument>
#include <QTextFrame>
#include <QTextList>
#include <QTextTable>
#include <cmath>
#include <map>
#include <vector>

#include "readme/rtf_reader.h"

namespace {

enum class ListKind { None, Unordered, Ordered };

// How a paragraph takes part in a list: through Qt's own list, or through the marker our reader
// keeps in the text (list == nullptr).
struct ListMembership {
    ListKind kind = ListKind::None;
    const QTextList* list = nullptr;
    bool operator==(const ListMembership&) const = default;
};

// The reader keeps a word processor's list marker as text: the marker, a tab, then the item, in
// an indented paragraph. Those paragraphs become list items whose marker stays in the text, so
// the page shows the document's own markers as the desktop does.
ListMembership Membership(const QTextBlock& block) {
    if (const QTextList* list = block.textList()) {
        const int style = list->format().style();
        const bool ordered = style != QTextListFormat::ListDisc &&
                             style != QTextListFormat::ListCircle &&
                             style != QTextListFormat::ListSquare;
        return {ordered ? ListKind::Ordered : ListKind::Unordered, list};
    }
    const QTextBlockFormat format = block.blockFormat();
    if (format.textIndent() >= 0 && format.leftMargin() <= 0) {
        return {};
    }
    // A bullet (captured), or a number or letter with its dot or parenthesis.
    static const QRegularExpression MARKER(QStringLiteral(
        u"^ *(?:([\u2022\u25E6\u25AA\u25A0\u25CF\u2023\u2043\u27A2\u2713\u00B7\u2013o*-])|"
        u"\\(?(?:\\d{1,3}|[a-zA-Z]|[ivxlcdmIVXLCDM]{1,6})[.)])\\t"));
    const QRegularExpressionMatch marker = MARKER.match(block.text().left(16));
    if (!marker.hasMatch()) {
        return {};
    }
    return {marker.capturedLength(1) > 0 ? ListKind::Unordered : ListKind::Ordered, nullptr};
}

// Appends `text` escaped for element content and attribute values alike. Characters XML cannot
// carry (controls, unpaired surrogates, U+FFFE/U+FFFF) become U+FFFD; an object's placeholder
// (an image) is left out; a line break within a paragraph becomes <br/>.
void AppendEscaped(QStringView text, QString& out) {
    for (qsizetype i = 0; i < text.size(); ++i) {
        const QChar c = text[i];
        switch (c.unicode()) {
            case u'&':
                out += "&amp;";
                break;
            case u'<':
                out += "&lt;";
                break;
            case u'>':
                out += "&gt;";
                break;
            case u'"':
                out += "&quot;";
                break;
            case u'\'':
                out += "&#39;";
                break;
            case u'\t':
            case u'\n':
                out += c;
                break;
            case QChar::LineSeparator:
            case QChar::ParagraphSeparator:
                out += "<br/>";
                break;
            case QChar::ObjectReplacementCharacter:
                break;
            default:
                if (c.isHighSurrogate() && i + 1 < text.size() && text[i + 1].isLowSurrogate()) {
                    out += c;
                    out += text[++i];
                } else if (c.isSurrogate() || c.unicode() < 0x20 || c.unicode() >= 0xFFFE) {
                    out += QChar(QChar::ReplacementCharacter);
                } else {
                    out += c;
                }
        }
    }
}

// Only links a reader can follow without running anything. Browsers drop spaces and controls
// anywhere in a URL before reading its scheme ("java\tscript:"), so a link holding any is no
// link at all.
bool IsSafeLink(const QString& href) {
    for (const QChar c : href) {
        if (c.unicode() <= 0x20 || c.unicode() == 0x7F) {
            return false;
        }
    }
    for (const char* scheme : {"http:", "https:", "mailto:"}) {
        if (href.startsWith(QLatin1String(scheme), Qt::CaseInsensitive)) {
            return true;
        }
    }
    return false;
}

// The size most of the document's text has: other sizes are written relative to it, so the
// page's own size and zoom apply to all of them.
qreal BaseSize(const QTextDocument& document) {
    std::map<qreal, qsizetype> characters;
    for (QTextBlock block = document.begin(); block.isValid(); block = block.next()) {
        for (auto it = block.begin(); !it.atEnd(); ++it) {
            const QTextCharFormat format = it.fragment().charFormat();
            if (format.hasProperty(QTextFormat::FontPointSize)) {
                characters[format.fontPointSize()] += it.fragment().length();
            }
        }
    }
    qreal base = 0;
    qsizetype most = 0;
    for (const auto& [size, count] : characters) {
        if (count > most) {
            base = size;
            most = count;
        }
    }
    return base;
}

// Whether the text is in a typewriter font: the reader marks those the document calls fixed
// pitch, but word processors often leave that out for the usual ones.
bool Monospaced(const QTextCharFormat& format) {
    if (format.fontFixedPitch()) {
        return true;
    }
    static const QRegularExpression NAMES(
        QStringLiteral("courier|mono|consolas|menlo|lucida console"),
        QRegularExpression::CaseInsensitiveOption);
    const QStringList families = format.fontFamilies().toStringList();
    return !families.isEmpty() && NAMES.match(families.first()).hasMatch();
}

QString SolidColor(const QBrush& brush) {
    return brush.style() == Qt::SolidPattern ? brush.color().name() : QString();
}

// The element's name in a start tag such as <span style="...">.
QStringView ElementName(QStringView startTag) {
    const qsizetype end = startTag.indexOf(u' ');
    return startTag.mid(1, (end < 0 ? startTag.size() - 1 : end) - 1);
}

class CHtmlWriter {
  public:
    explicit CHtmlWriter(const QTextDocument& document) : baseSize(BaseSize(document)) {}

    QString Write(const QTextDocument& document) {
        WriteItems(document.rootFrame()->begin());
        return out;
    }

  private:
    // The paragraphs and tables of one frame (the document or a table cell), in order.
    void WriteItems(QTextFrame::iterator it);
    void WriteTable(const QTextTable& table);
    void WriteCell(const QTextTableCell& cell);
    void WriteBlock(const QTextBlock& block, const QString& element);
    // The block's text with its inline markup; `heading` leaves sizes to the heading element.
    void WriteInline(const QTextBlock& block, bool heading);
    // The inline elements a fragment of this format sits in, outermost first, as start tags.
    std::vector<QString> InlineTags(const QTextCharFormat& format, bool heading) const;
    static QString BlockStyle(const QTextBlock& block);

    const qreal baseSize;
    QString out;
};

void CHtmlWriter::WriteItems(QTextFrame::iterator it) {
    ListMembership open;
    const auto setList = [&](const ListMembership& list) {
        if (list == open) {
            return;
        }
        if (open.kind != ListKind::None) {
            out += open.kind == ListKind::Ordered ? "</ol>\n" : "</ul>\n";
        }
        if (list.kind != ListKind::None) {
            out += list.kind == ListKind::Ordered ? "<ol" : "<ul";
            // A marker kept in the text needs no second one from the browser.
            out += list.list == nullptr ? " style=\"list-style:none\">\n" : ">\n";
        }
        open = list;
    };
    for (; !it.atEnd(); ++it) {
        if (const QTextFrame* frame = it.currentFrame()) {
            setList({});
            if (const auto* table = qobject_cast<const QTextTable*>(frame)) {
                WriteTable(*table);
            } else {
                WriteItems(frame->begin());
            }
            continue;
        }
        const QTextBlock block = it.currentBlock();
        QTextFrame::iterator next = it;
        ++next;
        if (block.length() <= 1 && next.atEnd()) {
            continue;  // the empty paragraph Qt keeps after a table, or a trailing one
        }
        const ListMembership list = Membership(block);
        setList(list);
        const int level = block.blockFormat().headingLevel();
        WriteBlock(block, list.kind != ListKind::None ? QStringLiteral("li")
                          : level >= 1 && level <= 6  ? QStringLiteral("h%1").arg(level)
                                                      : QStringLiteral("p"));
    }
    setList({});
}

void CHtmlWriter::WriteTable(const QTextTable& table) {
    out += "<table>\n";
    for (int row = 0; row < table.rows(); ++row) {
        out += "<tr>";
        for (int column = 0; column < table.columns(); ++column) {
            const QTextTableCell cell = table.cellAt(row, column);
            if (cell.row() == row && cell.column() == column) {  // not covered by a merged cell
                WriteCell(cell);
            }
        }
        out += "</tr>\n";
    }
    out += "</table>\n";
}

void CHtmlWriter::WriteCell(const QTextTableCell& cell) {
    out += "<td";
    if (cell.rowSpan() > 1) {
        out += QStringLiteral(" rowspan=\"%1\"").arg(cell.rowSpan());
    }
    if (cell.columnSpan() > 1) {
        out += QStringLiteral(" colspan=\"%1\"").arg(cell.columnSpan());
    }
    const QTextFrame::iterator first = cell.begin();
    QTextFrame::iterator second = first;
    if (!second.atEnd()) {
        ++second;
    }
    // A cell of one plain paragraph, the usual case, holds its text without a <p>.
    if (!first.atEnd() && first.currentFrame() == nullptr && second.atEnd() &&
        Membership(first.currentBlock()).kind == ListKind::None) {
        out += BlockStyle(first.currentBlock());
        out += u'>';
        WriteInline(first.currentBlock(), false);
    } else {
        out += ">\n";
        WriteItems(first);
    }
    out += "</td>";
}

void CHtmlWriter::WriteBlock(const QTextBlock& block, const QString& element) {
    out += u'<' + element + BlockStyle(block) + u'>';
    if (block.length() <= 1) {
        out += "<br/>";  // an empty paragraph keeps its line, as on the desktop
    } else {
        WriteInline(block, element.startsWith(u'h'));
    }
    out += "</" + element + ">\n";
}

void CHtmlWriter::WriteInline(const QTextBlock& block, bool heading) {
    // Start tags of the inline elements open now, outermost first. A fragment keeps those it
    // shares with the one before, so a bold run over differently coloured words stays one.
    std::vector<QString> open;
    const auto closeTo = [&](std::size_t depth) {
        while (open.size() > depth) {
            out += "</";
            out += ElementName(open.back());
            out += u'>';
            open.pop_back();
        }
    };
    for (auto it = block.begin(); !it.atEnd(); ++it) {
        const QTextFragment fragment = it.fragment();
        const QTextCharFormat format = fragment.charFormat();
        if (!fragment.isValid() || format.isImageFormat()) {
            continue;  // the page has no files for the document's pictures
        }
        const std::vector<QString> wanted = InlineTags(format, heading);
        std::size_t kept = 0;
        while (kept < open.size() && kept < wanted.size() && open[kept] == wanted[kept]) {
            ++kept;
        }
        closeTo(kept);
        for (std::size_t i = kept; i < wanted.size(); ++i) {
            out += wanted[i];
            open.push_back(wanted[i]);
        }
        AppendEscaped(fragment.text(), out);
    }
    closeTo(0);
}

std::vector<QString> CHtmlWriter::InlineTags(const QTextCharFormat& format, bool heading) const {
    std::vector<QString> tags;
    const bool link = format.isAnchor() && IsSafeLink(format.anchorHref());
    if (link) {
        QString tag = QStringLiteral("<a href=\"");
        AppendEscaped(format.anchorHref(), tag);
        tags.push_back(tag + "\">");
    }
    QStringList style;
    const QString background = format.hasProperty(QTextFormat::BackgroundBrush)
                                   ? SolidColor(format.background())
                                   : QString();
    QString color = format.hasProperty(QTextFormat::ForegroundBrush)
                        ? SolidColor(format.foreground())
                        : QString();
    // Word processors write their automatic colour as black: on its own it is left to the
    // page, whose text colour follows its theme. Over a background the document chose, the
    // text keeps the colour it has there.
    if (background.isEmpty() && color == "#000000") {
        color.clear();
    } else if (!background.isEmpty() && color.isEmpty()) {
        color = QStringLiteral("#000000");
    }
    if (!color.isEmpty()) {
        style << "color:" + color;
    }
    if (!background.isEmpty()) {
        style << "background-color:" + background;
    }
    if (!heading && baseSize > 0 && format.hasProperty(QTextFormat::FontPointSize)) {
        const double ratio = std::round(format.fontPointSize() / baseSize * 100) / 100;
        if (ratio > 0 && ratio != 1) {
            style << QStringLiteral("font-size:%1em").arg(ratio);
        }
    }
    if (!style.isEmpty()) {
        tags.push_back("<span style=\"" + style.join(u';') + "\">");
    }
    if (format.fontWeight() >= QFont::DemiBold) {
        tags.push_back(QStringLiteral("<strong>"));
    }
    if (format.fontItalic()) {
        tags.push_back(QStringLiteral("<em>"));
    }
    if (format.fontUnderline() && !link) {
        tags.push_back(QStringLiteral("<u>"));
    }
    if (format.fontStrikeOut()) {
        tags.push_back(QStringLiteral("<s>"));
    }
    if (Monospaced(format)) {
        tags.push_back(QStringLiteral("<code>"));
    }
    if (format.verticalAlignment() == QTextCharFormat::AlignSuperScript) {
        tags.push_back(QStringLiteral("<sup>"));
    } else if (format.verticalAlignment() == QTextCharFormat::AlignSubScript) {
        tags.push_back(QStringLiteral("<sub>"));
    }
    return tags;
}

QString CHtmlWriter::BlockStyle(const QTextBlock& block) {
    const Qt::Alignment alignment = block.blockFormat().alignment();
    if (alignment & Qt::AlignHCenter) {
        return QStringLiteral(" style=\"text-align:center\"");
    }
    if (alignment & Qt::AlignJustify) {
        return QStringLiteral(" style=\"text-align:justify\"");
    }
    if (alignment & Qt::AlignRight) {
        return QStringLiteral(" style=\"text-align:right\"");
    }
    return {};
}

}  // namespace

QString ReadMeHtml(const QTextDocument& document) {
    return CHtmlWriter(document).Write(document);
}

QByteArray RtfToHtml(std::string_view rtf) {
    QTextDocument document;
    ReadRtf(rtf, document);
    return ReadMeHtml(document).toUtf8();
}
