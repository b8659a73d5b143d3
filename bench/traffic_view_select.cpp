// The traffic view's selection by mouse and keys, copying, its context menu and find.
#include "bench/traffic_view.h"

#include <QActionGroup>
#include <QApplication>
#include <QClipboard>
#include <QContextMenuEvent>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMouseEvent>
#include <QScrollBar>
#include <algorithm>
#include <climits>
#include <cmath>

#include "bench/traffic_view_access.h"

TrafficView::Pos TrafficView::PosAt(const QPoint& point) const {
    if (rows.empty()) {
        return {rowBase, 0};
    }
    const int index =
        std::clamp(verticalScrollBar()->value() + point.y() / lineHeight, 0, RowCount() - 1);
    const int length = RowText(static_cast<size_t>(index)).size();
    const int column =
        static_cast<int>(std::lround((point.x() + horizontalScrollBar()->value()) / charWidth));
    return {rowBase + index, std::clamp(column, 0, length)};
}

void TrafficView::SetSelection(Pos newAnchor, Pos newCaret) {
    anchor = newAnchor;
    caret = newCaret;
    if (anchor < caret || caret < anchor) {
        // Selected text goes to the X11 selection, as in other text views.
        if (QClipboard* clipboard = QApplication::clipboard(); clipboard->supportsSelection()) {
            clipboard->setText(SelectedText(), QClipboard::Selection);
        }
    }
    NotifyTrafficViewCaret(*this);
    viewport()->update();
}

QString TrafficView::SelectedText() const {
    return RowsText(std::min(anchor, caret), std::max(anchor, caret));
}

QPoint TrafficView::SelectionStart() const {
    const Pos start = std::min(anchor, caret);
    return {start.column, static_cast<int>(start.row - rowBase)};
}

void TrafficView::SelectAll() {
    Flush();
    if (!rows.empty()) {
        const int last = RowCount() - 1;
        SetSelection({rowBase, 0},
                     {rowBase + last, static_cast<int>(RowText(static_cast<size_t>(last)).size())});
    }
}

void TrafficView::Copy() {
    if (anchor == caret) {
        return;
    }
    QApplication::clipboard()->setText(SelectedText());
}

void TrafficView::ShowPos(Pos pos) {
    QScrollBar* vertical = verticalScrollBar();
    const int index = static_cast<int>(pos.row - rowBase);
    const int page = std::max(1, viewport()->height() / lineHeight);
    if (index < vertical->value()) {
        vertical->setValue(index);
    } else if (index >= vertical->value() + page) {
        vertical->setValue(index - page + 1);
    }
    QScrollBar* horizontal = horizontalScrollBar();
    const int x = static_cast<int>(pos.column * charWidth);
    if (x < horizontal->value() || x > horizontal->value() + viewport()->width() - charWidth) {
        horizontal->setValue(std::max(0, x - viewport()->width() / 2));
    }
}

void TrafficView::keyPressEvent(QKeyEvent* event) {
    if (event == QKeySequence::Copy) {
        Copy();
        return;
    }
    if (event == QKeySequence::SelectAll) {
        SelectAll();
        return;
    }
    if (event == QKeySequence::Find) {
        OpenFind();
        return;
    }
    if (event->key() == Qt::Key_F3) {
        FindNext(findEdit->text(), (event->modifiers() & Qt::ShiftModifier) != 0);
        return;
    }
    if (event->key() == Qt::Key_Escape && findBar->isVisible()) {
        CloseFind();
        return;
    }
    // Keyboard selection moves the caret and keeps the anchor, both held to the rows there are.
    const int lastRow = std::max(0, RowCount() - 1);
    const auto rowLength = [&](qint64 row) {
        return rows.empty() ? 0
                            : static_cast<int>(RowText(static_cast<size_t>(row - rowBase)).size());
    };
    const auto held = [&](Pos pos) {
        pos.row = std::clamp<qint64>(pos.row, rowBase, rowBase + lastRow);
        pos.column = std::clamp(pos.column, 0, rowLength(pos.row));
        return pos;
    };
    anchor = held(anchor);
    Pos moved = held(caret);
    if (event == QKeySequence::SelectNextChar) {
        moved.column = std::min(moved.column + 1, rowLength(moved.row));
    } else if (event == QKeySequence::SelectPreviousChar) {
        moved.column = std::max(moved.column - 1, 0);
    } else if (event == QKeySequence::SelectNextLine) {
        moved.row = std::min(moved.row + 1, rowBase + lastRow);
        moved.column = std::min(moved.column, rowLength(moved.row));
    } else if (event == QKeySequence::SelectPreviousLine) {
        moved.row = std::max(moved.row - 1, rowBase);
        moved.column = std::min(moved.column, rowLength(moved.row));
    } else if (event == QKeySequence::SelectStartOfLine) {
        moved.column = 0;
    } else if (event == QKeySequence::SelectEndOfLine) {
        moved.column = rowLength(moved.row);
    } else if (event == QKeySequence::SelectStartOfDocument) {
        moved = {rowBase, 0};
    } else if (event == QKeySequence::SelectEndOfDocument) {
        moved = {rowBase + lastRow, rowLength(rowBase + lastRow)};
    } else {
        QAbstractScrollArea::keyPressEvent(event);
        return;
    }
    SetSelection(anchor, moved);
    ShowPos(moved);
}

void TrafficView::mousePressEvent(QMouseEvent* event) {
    if (event->button() != Qt::LeftButton) {
        QAbstractScrollArea::mousePressEvent(event);
        return;
    }
    const Pos at = PosAt(event->position().toPoint());
    SetSelection((event->modifiers() & Qt::ShiftModifier) != 0 ? anchor : at, at);
}

void TrafficView::mouseMoveEvent(QMouseEvent* event) {
    if ((event->buttons() & Qt::LeftButton) == 0) {
        return;
    }
    const QPoint point = event->position().toPoint();
    // Dragging past the edge scrolls on.
    QScrollBar* vertical = verticalScrollBar();
    if (point.y() < 0) {
        vertical->setValue(vertical->value() - 1);
    } else if (point.y() > viewport()->height()) {
        vertical->setValue(vertical->value() + 1);
    }
    SetSelection(anchor, PosAt(point));
}

void TrafficView::mouseReleaseEvent(QMouseEvent* event) {
    // The selection was made while the button was down.
    event->setAccepted(event->button() == Qt::LeftButton);
}

void TrafficView::mouseDoubleClickEvent(QMouseEvent* event) {
    if (event->button() != Qt::LeftButton || rows.empty()) {
        return;
    }
    // A word: the run of non-blank characters under the pointer.
    const Pos at = PosAt(event->position().toPoint());
    const QString text = RowText(static_cast<size_t>(at.row - rowBase));
    int start = std::min<int>(at.column, text.size());
    int end = start;
    while (start > 0 && !text[start - 1].isSpace()) {
        --start;
    }
    while (end < text.size() && !text[end].isSpace()) {
        ++end;
    }
    SetSelection({at.row, start}, {at.row, end});
}

void TrafficView::FillContextMenu(QMenu& menu) {
    QAction* copy = menu.addAction(tr("&Copy"), this, &TrafficView::Copy);
    copy->setShortcut(QKeySequence::Copy);
    copy->setEnabled(!(anchor == caret));
    menu.addAction(tr("Select All"), this, &TrafficView::SelectAll)
        ->setShortcut(QKeySequence::SelectAll);
    menu.addSeparator();
    menu.addAction(hexMode ? tr("Show as Text") : tr("Show as Hex"), this,
                   [this] { SetHexMode(!hexMode); });
    QMenu* stamps = menu.addMenu(tr("Timestamps"));
    auto* group = new QActionGroup(stamps);
    const std::pair<TimestampMode, QString> choices[] = {
        {TimestampMode::Off, tr("Off")},
        {TimestampMode::Line, tr("At Each Line")},
        {TimestampMode::Chunk, tr("At Each Received Chunk")}};
    for (const auto& [mode, label] : choices) {
        QAction* choice = stamps->addAction(label, this, [this, m = mode] { SetTimestampMode(m); });
        choice->setCheckable(true);
        choice->setChecked(mode == timestampMode);
        group->addAction(choice);
    }
    QAction* pause = menu.addAction(tr("Pause Display"), this, [this](bool on) { SetPaused(on); });
    pause->setCheckable(true);
    pause->setChecked(displayPaused);
    menu.addAction(tr("Find\u2026"), this, &TrafficView::OpenFind)->setShortcut(QKeySequence::Find);
}

void TrafficView::contextMenuEvent(QContextMenuEvent* event) {
    QMenu menu(this);
    FillContextMenu(menu);
    emit ContextMenuRequested(&menu);
    menu.exec(event->globalPos());
}

void TrafficView::OpenFind() {
    if (!findBar->isVisible()) {
        const int height = findBar->sizeHint().height();
        setViewportMargins(0, 0, 0, height);
        findBar->show();
        const QRect area = viewport()->geometry();
        findBar->setGeometry(area.left(), area.bottom() + 1, area.width(), height);
    }
    if (!(anchor == caret) && anchor.row == caret.row) {
        findEdit->setText(SelectedText());
    }
    findEdit->selectAll();
    findEdit->setFocus(Qt::ShortcutFocusReason);
}

void TrafficView::CloseFind() {
    findBar->hide();
    findStatus->clear();
    setViewportMargins(0, 0, 0, 0);
    setFocus(Qt::OtherFocusReason);
}

bool TrafficView::FindNext(const QString& what, bool backwards) {
    Flush();
    const int count = RowCount();
    if (what.isEmpty() || count == 0) {
        findStatus->setText(what.isEmpty() ? QString() : tr("Not found"));
        return false;
    }
    // From the current match (or the rows in sight), once round, wrapping at either end.
    const bool selected = !(anchor == caret);
    const Pos from = std::min(anchor, caret);
    int startRow = 0;
    int startColumn = 0;
    if (selected) {
        startRow = static_cast<int>(std::clamp<qint64>(from.row - rowBase, 0, count - 1));
        startColumn = backwards ? from.column - 1 : from.column + 1;
    } else if (backwards) {
        startRow = std::min(count - 1, FirstVisibleRow() + viewport()->height() / lineHeight);
        startColumn = INT_MAX / 2;
    } else {
        startRow = FirstVisibleRow();
    }
    for (int step = 0; step <= count; ++step) {
        const int index =
            backwards ? (startRow - step % count + count) % count : (startRow + step) % count;
        const QString text = RowText(static_cast<size_t>(index));
        int found = -1;
        if (backwards) {
            const int before = step == 0 ? std::min<int>(startColumn, text.size() - 1)
                                         : static_cast<int>(text.size()) - 1;
            found = before < 0 ? -1 : text.lastIndexOf(what, before, Qt::CaseInsensitive);
        } else {
            found = text.indexOf(what, step == 0 ? startColumn : 0, Qt::CaseInsensitive);
        }
        if (found >= 0) {
            const Pos start{rowBase + index, found};
            const Pos end{rowBase + index, found + static_cast<int>(what.size())};
            SetSelection(start, end);
            ShowPos(end);
            ShowPos(start);
            findStatus->clear();
            return true;
        }
    }
    findStatus->setText(tr("Not found"));
    return false;
}
