// What the RTF control words do: the destination of the text, font and colour tables, runs
// of formatted text, paragraphs and their formats.
#include "readme/rtf_parser.h"

#include <QFont>
#include <QTextDocument>
#include <algorithm>

namespace rtf {

void CRtfParser::HandleWord(Key key, bool hasParameter, int value) {
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
        // Levels 0 to 8 are headings; 9 is body text.
        case Key::OutlineLevel: para.outline = value >= 0 && value <= 8 ? value : -1; break;
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

void CRtfParser::HandleFontTableWord(Key key, bool hasParameter, int value) {
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

void CRtfParser::HandleColorTableWord(Key key, int value) {
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

void CRtfParser::StoreFont() {
    const QString name = tableEntry.name.trimmed();
    if (tableFont >= 0 && !name.isEmpty() &&
        (fonts.size() < MAX_TABLE_ENTRIES || fonts.count(tableFont) != 0)) {
        FontEntry entry = tableEntry;
        entry.name = name;
        fonts[tableFont] = entry;
    }
    tableEntry.name.clear();
}

void CRtfParser::StoreColor() {
    if (colors.size() < MAX_TABLE_ENTRIES) {
        colors.push_back(colorComponentSet ? QColor(red, green, blue) : QColor());
    }
    red = green = blue = 0;
    colorComponentSet = false;
}

void CRtfParser::SetDefaultTabStops(int twips) {
    QTextOption option = cursor.document()->defaultTextOption();
    option.setTabStopDistance(twips / qreal(TWIPS_PER_PIXEL));
    cursor.document()->setDefaultTextOption(option);
}

void CRtfParser::SetDestination(Destination destination) {
    // Past the depth limit a group has no state of its own: remember which group changed
    // the destination, so that its closing brace restores the enclosing one.
    if (ignoredGroups > 0 && destinationGroup == 0) {
        destinationGroup = ignoredGroups;
        outerDestination = State().destination;
    }
    State().destination = destination;
}

void CRtfParser::Emit(QStringView text) {
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

void CRtfParser::FlushText() {
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

void CRtfParser::CommitText() {
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

void CRtfParser::EndParagraph() {
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

void CRtfParser::Finish() {
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

QTextBlockFormat CRtfParser::BlockFormat(const ParaProps& para) const {
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
        tabs.append(QTextOption::Tab(-para.first / qreal(TWIPS_PER_PIXEL), QTextOption::LeftTab));
    }
    if (!tabs.isEmpty()) {
        format.setTabPositions(tabs);
    }
    if (para.outline >= 0) {
        format.setHeadingLevel(para.outline + 1);  // not drawn: it tells headings from text
    }
    if (cursor.blockNumber() == pageBreakBlock) {
        format.setPageBreakPolicy(QTextFormat::PageBreak_AlwaysBefore);
    }
    return format;
}

QTextCharFormat CRtfParser::CharFormat(const CharProps& chars) const {
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

}  // namespace rtf
