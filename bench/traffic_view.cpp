// A read-only view of one channel's received bytes, fed from a worker thread in batches.
#include "bench/traffic_view.h"

#include <QScrollBar>
#include <QTextBlock>
#include <QTextCursor>
#include <QTextDocument>
#include <algorithm>
#include <utility>

#include "bench/ansi_text.h"

TrafficView::TrafficView(QWidget* parent) : QPlainTextEdit(parent) {
    setReadOnly(true);
    setUndoRedoEnabled(false);
    // The board's lines can be long and have no line end: scroll sideways, never wrap.
    setLineWrapMode(QPlainTextEdit::NoWrap);
    setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    KeepTextUnshaped();
    frameTimer.setSingleShot(true);
    // A coarse timer may fire a few ms late, which the latency of every byte would carry.
    frameTimer.setTimerType(Qt::PreciseTimer);
    connect(&frameTimer, &QTimer::timeout, this, &TrafficView::Flush);
    // Workers emit from their own threads; the queued call object is made here, on the GUI
    // thread, not once per batch on the worker.
    connect(this, &TrafficView::FlushWanted, this, &TrafficView::ScheduleFlush,
            Qt::QueuedConnection);
    sinceFlush.start();
}

TrafficView::~TrafficView() = default;

void TrafficView::KeepTextUnshaped() {
    // Each change lays out and each paint draws whole lines again; unshaped text keeps a
    // long one cheap (a fifth of the cost with shaping).
    QFont viewFont = font();
    if ((viewFont.styleStrategy() & QFont::PreferNoShaping) != 0 && !viewFont.kerning()) {
        return;
    }
    viewFont.setStyleStrategy(QFont::PreferNoShaping);
    viewFont.setKerning(false);
    setFont(viewFont);
}

void TrafficView::changeEvent(QEvent* event) {
    QPlainTextEdit::changeEvent(event);
    // The page gives every control the dialog's font, which would bring shaping back.
    if (event->type() == QEvent::FontChange) {
        KeepTextUnshaped();
    }
}

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
            pendingCutOff = true;
        }
        post = !flushPosted && !pending.isEmpty();
        flushPosted = flushPosted || post;
    }
    if (post) {
        emit FlushWanted();
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
    bool cutOff = false;
    {
        std::lock_guard<std::mutex> hold(pendingMutex);
        batch.swap(pending);
        cutOff = std::exchange(pendingCutOff, false);
        flushPosted = false;
    }
    if (cutOff) {
        // The batch lost its start: what the view holds is older still, and kept beside the
        // batch it would hide the gap. The batch alone is the newest SCROLL_BACK characters.
        clear();
        lastWasCr = false;
    }
    if (!batch.isEmpty()) {
        QElapsedTimer cost;
        cost.start();
        Show(batch);
        // When showing is dear, show less often, so the view never takes more than about a
        // fifth of the GUI thread. The cheaper of the last two updates counts: one that the
        // system held up (another process ran) is no reason to make the next bytes wait.
        const qint64 took = cost.elapsed();
        flushInterval = std::clamp<qint64>(std::min(took, lastShowMs) * 4, FRAME_MS, MAX_FRAME_MS);
        lastShowMs = took;
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
    // Fold a long line: each piece is a block of its own, so an update lays out at most
    // FOLD_AT characters however long the line without a line end grows.
    int lineLength = doc->lastBlock().length() - 1;
    qsizetype pieceStart = 0;
    for (qsizetype i = 0; i < shown.size(); ++i) {
        const QChar ch = shown[i];
        if (ch == QLatin1Char('\r') || ch == QLatin1Char('\n')) {
            lineLength = 0;
        } else if (++lineLength > FOLD_AT) {
            end.insertText(shown.mid(pieceStart, i - pieceStart));
            end.insertBlock();
            end.block().setUserState(FOLDED);
            pieceStart = i;
            lineLength = 1;
        }
    }
    end.insertText(shown.mid(pieceStart));

    // Drop the oldest text in large chunks, so trimming is rare. The fold marks count as
    // characters of the document, so a few more are kept to keep SCROLL_BACK of the text.
    const int held = doc->characterCount() - 1;
    if (held >= TRIM_AT) {
        const int kept = SCROLL_BACK + SCROLL_BACK / FOLD_AT + 1;
        QTextCursor oldest(doc);
        oldest.setPosition(held - kept, QTextCursor::KeepAnchor);
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
        pendingCutOff = false;
    }
    lastWasCr = false;
    clear();
}

QString TrafficView::Text() {
    Flush();
    QString text = toPlainText();
    // The line ends that only fold a long line are not the board's: take them out, from the
    // back so the positions before them stay valid.
    QTextDocument* doc = document();
    for (QTextBlock block = doc->lastBlock(); block.isValid() && block != doc->begin();
         block = block.previous()) {
        if (block.userState() == FOLDED) {
            text.remove(block.position() - 1, 1);
        }
    }
    return text;
}
