// Painting the traffic view: only the rows in sight, one glyph per column.
#include "bench/traffic_view.h"

#include <QElapsedTimer>
#include <QGlyphRun>
#include <QPaintEvent>
#include <QPainter>
#include <QScrollBar>
#include <algorithm>
#include <climits>

#include "bench/ansi_text.h"

void TrafficView::paintEvent(QPaintEvent* event) {
    QElapsedTimer cost;
    cost.start();
    QPainter painter(viewport());
    // Row-sized fills: Qt hands one large fill to its thread pool, which costs more in
    // wake-ups than the fill itself, many times a second while bytes flow.
    const QRect area = event->rect();
    for (int y = area.top(); y <= area.bottom(); y += lineHeight) {
        painter.fillRect(
            QRect(area.left(), y, area.width(), std::min(lineHeight, area.bottom() - y + 1)),
            palette().base());
    }
    painter.setFont(rowFont);
    const int first = verticalScrollBar()->value();
    const int shift = horizontalScrollBar()->value();
    const int firstColumn = std::max(0, static_cast<int>(shift / charWidth) - 1);
    const int columns = static_cast<int>(viewport()->width() / charWidth) + 3;
    const Pos from = std::min(anchor, caret);
    const Pos to = std::max(anchor, caret);
    const int last = std::min(RowCount(), first + viewport()->height() / lineHeight + 2);
    for (int i = first; i < last; ++i) {
        QString text = RowText(static_cast<size_t>(i)).mid(firstColumn, columns);
        // Control bytes take one column each, drawn as their symbols.
        for (QChar& ch : text) {
            ch = ShownChar(ch);
        }
        const int y = (i - first) * lineHeight;
        const qreal x = firstColumn * charWidth - shift;
        const bool note = (rows[static_cast<size_t>(i)].flags & NOTE) != 0;
        painter.setPen(palette().color(note ? QPalette::PlaceholderText : QPalette::Text));
        DrawRow(painter, text, x, y + ascent);
        const qint64 row = rowBase + i;
        if (from == to || row < from.row || row > to.row) {
            continue;
        }
        const int start = std::max(0, (row == from.row ? from.column : 0) - firstColumn);
        const int end = std::min<int>(text.size(), (row == to.row ? to.column : INT_MAX) -
                                                       std::min(firstColumn, INT_MAX / 2));
        if (end > start) {
            const QRectF box(x + start * charWidth, y, (end - start) * charWidth, lineHeight);
            painter.fillRect(box, palette().highlight());
            painter.setPen(palette().color(QPalette::HighlightedText));
            DrawRow(painter, text.mid(start, end - start), box.left(), y + ascent);
        }
    }
    if (displayPaused) {
        // The user must not take a paused view for a silent board.
        const QString mark = tr("Display paused");
        const qreal width = QFontMetricsF(rowFont).horizontalAdvance(mark) + 8;
        const QRectF box(viewport()->width() - width - 2, 2, width, lineHeight);
        painter.fillRect(box, palette().toolTipBase());
        painter.setPen(palette().color(QPalette::ToolTipText));
        painter.drawText(box, Qt::AlignCenter, mark);
    }
    paintNs = cost.nsecsElapsed();
}

quint32 TrafficView::GlyphFor(char16_t ch) {
    if (ch >= glyphCache.size()) {
        return 0;
    }
    if (glyphCache[ch] == UNKNOWN_GLYPH) {
        const QList<quint32> found = rawFont.glyphIndexesForString(QString(QChar(ch)));
        glyphCache[ch] = found.size() == 1 ? found[0] : 0;
    }
    return glyphCache[ch];
}

void TrafficView::DrawRow(QPainter& painter, const QString& text, qreal x, int baseline) {
    // One glyph per column from the font's own table: no shaping, no layout. A character
    // the font lacks sends the row through the ordinary path, which finds a fallback font.
    glyphs.resize(text.size());
    positions.resize(text.size());
    for (qsizetype i = 0; i < text.size(); ++i) {
        glyphs[i] = GlyphFor(text[i].unicode());
        if (glyphs[i] == 0) {
            painter.drawText(QPointF(x, baseline), text);
            return;
        }
        positions[i] = QPointF(i * charWidth, 0);
    }
    QGlyphRun run;
    run.setRawFont(rawFont);
    run.setGlyphIndexes(glyphs);
    run.setPositions(positions);
    painter.drawGlyphRun(QPointF(x, baseline), run);
}
