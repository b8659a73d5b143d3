// A traffic view as a read-only text for screen readers. Offsets count the characters of the
// rows as shown, each row followed by one line end, the last row by none.
#include "bench/traffic_view_access.h"

#include <QAccessibleWidget>
#include <QScrollBar>
#include <algorithm>
#include <climits>

#include "bench/traffic_view.h"

class CTrafficViewAccessible : public QAccessibleWidget, public QAccessibleTextInterface {
  public:
    explicit CTrafficViewAccessible(TrafficView* view)
        : QAccessibleWidget(view, QAccessible::EditableText) {}

    void* interface_cast(QAccessible::InterfaceType type) override {
        return type == QAccessible::TextInterface ? static_cast<QAccessibleTextInterface*>(this)
                                                  : QAccessibleWidget::interface_cast(type);
    }

    QAccessible::State state() const override {
        QAccessible::State state = QAccessibleWidget::state();
        state.readOnly = true;
        state.multiLine = true;
        state.selectableText = true;
        return state;
    }

    QString text(QAccessible::Text kind) const override {
        if (kind == QAccessible::Value) {
            return View()->ShownText();
        }
        return QAccessibleWidget::text(kind);
    }

    // Text.
    QString text(int startOffset, int endOffset) const override {
        const QString all = View()->ShownText();
        const int start = std::clamp(startOffset, 0, static_cast<int>(all.size()));
        const int end = endOffset < 0 ? static_cast<int>(all.size())
                                      : std::clamp(endOffset, start, static_cast<int>(all.size()));
        return all.mid(start, end - start);
    }
    int characterCount() const override {
        TrafficView* view = View();
        view->Flush();
        // The offset of the last row's end.
        return OffsetOf({view->rowBase + view->RowCount() - 1, INT_MAX});
    }

    int cursorPosition() const override { return OffsetOf(View()->caret); }
    void setCursorPosition(int position) override {
        const TrafficView::Pos at = PosOf(position);
        View()->SetSelection(at, at);
        View()->ShowPos(at);
    }

    int selectionCount() const override { return View()->anchor == View()->caret ? 0 : 1; }
    void selection(int selectionIndex, int* startOffset, int* endOffset) const override {
        *startOffset = *endOffset = 0;
        if (selectionIndex == 0 && selectionCount() == 1) {
            *startOffset = OffsetOf(std::min(View()->anchor, View()->caret));
            *endOffset = OffsetOf(std::max(View()->anchor, View()->caret));
        }
    }
    void addSelection(int startOffset, int endOffset) override {
        setSelection(0, startOffset, endOffset);
    }
    void removeSelection(int /*selectionIndex*/) override {
        View()->SetSelection(View()->caret, View()->caret);
    }
    void setSelection(int /*selectionIndex*/, int startOffset, int endOffset) override {
        View()->SetSelection(PosOf(startOffset), PosOf(endOffset));
        View()->ShowPos(PosOf(endOffset));
    }

    QRect characterRect(int offset) const override {
        const TrafficView* view = View();
        const TrafficView::Pos at = PosOf(offset);
        const int index = static_cast<int>(at.row - view->rowBase);
        const QPoint topLeft(
            static_cast<int>(at.column * view->charWidth) - view->horizontalScrollBar()->value(),
            (index - view->verticalScrollBar()->value()) * view->lineHeight);
        return QRect(view->viewport()->mapToGlobal(topLeft),
                     QSize(static_cast<int>(view->charWidth), view->lineHeight));
    }
    int offsetAtPoint(const QPoint& point) const override {
        const TrafficView* view = View();
        return OffsetOf(view->PosAt(view->viewport()->mapFromGlobal(point)));
    }
    void scrollToSubstring(int startIndex, int endIndex) override {
        View()->ShowPos(PosOf(endIndex));
        View()->ShowPos(PosOf(startIndex));
    }
    QString attributes(int offset, int* startOffset, int* endOffset) const override {
        // One run of plain text: no attributes anywhere.
        *startOffset = 0;
        *endOffset = std::max(offset, characterCount());
        return {};
    }

  private:
    TrafficView* View() const { return static_cast<TrafficView*>(widget()); }

    // The rows held, as shown, for offsets: a walk over their lengths (no text is made),
    // done only when asked.
    int OffsetOf(TrafficView::Pos pos) const {
        const TrafficView* view = View();
        const int index = static_cast<int>(
            std::clamp<qint64>(pos.row - view->rowBase, 0, std::max(0, view->RowCount() - 1)));
        int offset = 0;
        for (int i = 0; i < index; ++i) {
            offset += view->RowTextLength(static_cast<size_t>(i)) + 1;
        }
        const int length =
            view->RowCount() == 0 ? 0 : view->RowTextLength(static_cast<size_t>(index));
        return offset + std::clamp(pos.column, 0, length);
    }
    TrafficView::Pos PosOf(int offset) const {
        const TrafficView* view = View();
        int left = std::max(0, offset);
        for (int i = 0; i < view->RowCount(); ++i) {
            const int length = view->RowTextLength(static_cast<size_t>(i));
            if (left <= length || i == view->RowCount() - 1) {
                return {view->rowBase + i, std::min(left, length)};
            }
            left -= length + 1;
        }
        return {view->rowBase, 0};
    }
};

namespace {

QAccessibleInterface* CreateAccessible(const QString& /*className*/, QObject* object) {
    if (auto* view = qobject_cast<TrafficView*>(object)) {
        return new CTrafficViewAccessible(view);
    }
    return nullptr;
}

}  // namespace

void InstallTrafficViewAccessible() {
    static const bool installed = (QAccessible::installFactory(&CreateAccessible), true);
    (void)installed;
}

void NotifyTrafficViewCaret(TrafficView& view) {
    // Offsets take a walk over the rows: only while a screen reader listens.
    if (!QAccessible::isActive()) {
        return;
    }
    QAccessibleInterface* face = QAccessible::queryAccessibleInterface(&view);
    auto* text = face != nullptr ? face->textInterface() : nullptr;
    if (text == nullptr) {
        return;
    }
    if (text->selectionCount() > 0) {
        int start = 0;
        int end = 0;
        text->selection(0, &start, &end);
        QAccessibleTextSelectionEvent selected(&view, start, end);
        selected.setCursorPosition(text->cursorPosition());
        QAccessible::updateAccessibility(&selected);
    } else {
        QAccessibleTextCursorEvent moved(&view, text->cursorPosition());
        QAccessible::updateAccessibility(&moved);
    }
}
