// A read-only view of one channel's received bytes, fed from a worker thread in batches.
#include "bench/traffic_view.h"

#include <QScrollBar>
#include <QTextBlock>
#include <QTextCursor>
#include <QTextDocument>
#include <algorithm>

#include "bench/ansi_text.h"

TrafficView::TrafficView(QWidget* parent) : QPlainTextEdit(parent) {
    setReadOnly(true);
    setUndoRedoEnabled(false);
    // The board's lines can be long and have no line end: scroll sideways, never wrap.
    setLineWrapMode(QPlainTextEdit::NoWrap);
    setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    // Each change lays out the whole line again; unshaped text keeps a long one cheap.
    QFont viewFont = font();
    viewFont.setStyleStrategy(QFont::PreferNoShaping);
    viewFont.setKerning(false);
    setFont(viewFont);
    frameTimer.setSingleShot(true);
    connect(&frameTimer, &QTimer::timeout, this, &TrafficView::Flush);
    sinceFlush.start();
}

TrafficView::~TrafficView() = default;

void TrafficView::AppendChar(uint8_t byte) {
    AppendBytes(&byte, 1);
}

void TrafficView::AppendBytes(const uint8_t* bytes, size_t count) {
    bool post = false;
    {
        std::lock_guard<std::mutex> hold(pendingMutex);
        for (size_t i = 0; i < count; ++i) {
            if (bytes[i] != 0) {
                pending.append(CharFromAnsi(bytes[i]));
            }
        }
        // What waits is bounded too: older text would be trimmed on display anyway.
        if (pending.size() > TRIM_AT) {
            pending.remove(0, pending.size() - SCROLL_BACK);
        }
        post = !flushPosted && !pending.isEmpty();
        flushPosted = flushPosted || post;
    }
    if (post) {
        QMetaObject::invokeMethod(this, &TrafficView::ScheduleFlush, Qt::QueuedConnection);
    }
}

void TrafficView::ScheduleFlush() {
    if (frameTimer.isActive()) {
        return;
    }
    const qint64 waited = sinceFlush.elapsed();
    frameTimer.start(static_cast<int>(std::max<qint64>(0, flushInterval - waited)));
}

void TrafficView::Flush() {
    frameTimer.stop();
    QString batch;
    {
        std::lock_guard<std::mutex> hold(pendingMutex);
        batch.swap(pending);
        flushPosted = false;
    }
    if (!batch.isEmpty()) {
        QElapsedTimer cost;
        cost.start();
        Show(batch);
        // When showing is dear (a very long line), show less often, so the view never takes
        // more than about a fifth of the GUI thread.
        flushInterval = std::clamp<qint64>(cost.elapsed() * 4, FRAME_MS, MAX_FRAME_MS);
    }
    sinceFlush.restart();
}

void TrafficView::Show(const QString& text) {
    QString shown = text;
    // The document turns CR, LF and CR LF into one line end each; a pair that arrives in
    // two batches must not become two.
    if (lastWasCr && shown.startsWith(QLatin1Char('\n'))) {
        shown.remove(0, 1);
    }
    lastWasCr = text.endsWith(QLatin1Char('\r'));
    if (shown.isEmpty()) {
        return;
    }
    QTextDocument* doc = document();
    QTextCursor end(doc);
    end.movePosition(QTextCursor::End);
    end.insertText(shown);

    // Drop the oldest text in large chunks, so trimming is rare.
    const int held = doc->characterCount() - 1;
    if (held >= TRIM_AT) {
        QTextCursor oldest(doc);
        oldest.setPosition(held - SCROLL_BACK, QTextCursor::KeepAnchor);
        oldest.removeSelectedText();
    }
    // Follow the newest text, as the caret at the end would.
    QTextCursor caret(doc);
    caret.movePosition(QTextCursor::End);
    setTextCursor(caret);
    ensureCursorVisible();
}

void TrafficView::Clear() {
    {
        std::lock_guard<std::mutex> hold(pendingMutex);
        pending.clear();
    }
    lastWasCr = false;
    clear();
}

QString TrafficView::Text() {
    Flush();
    return toPlainText();
}
