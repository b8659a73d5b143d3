// RTF tables: cells and rows filled in a QTextTable, bounded so a long table stays cheap.
#include "readme/rtf_parser.h"

#include <QTextDocument>
#include <QTextTableFormat>
#include <algorithm>

namespace rtf {

void CRtfParser::PlaceParagraph(bool inTable) {
    FlushText();
    if (!inTable || !EnterCell()) {
        LeaveTable();
    }
}

void CRtfParser::LeaveTable() {
    if (table != nullptr) {
        cursor.setPosition(table->lastPosition() + 1);  // the paragraph after the table
        table = nullptr;
    }
}

bool CRtfParser::EnterCell() {
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

void CRtfParser::EndCell() {
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

void CRtfParser::EndRow() {
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

void CRtfParser::SetColumnWidths() {
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

bool CRtfParser::InSameCell(const QTextBlock& block, const QTextCursor& at) {
    if (!block.isValid()) {
        return false;
    }
    const QTextCursor other(block);
    QTextTable* const blockTable = other.currentTable();
    return blockTable == at.currentTable() &&
           (blockTable == nullptr || blockTable->cellAt(other) == blockTable->cellAt(at));
}

}  // namespace rtf
