// A read-only view of one channel's received bytes, fed from a worker thread in batches.
// The bytes stay as they came, in a bounded store; rows over it are indexed as bytes arrive
// and turned into text only when they are painted, copied or searched.
#include "bench/traffic_view.h"

#include <QActionGroup>
#include <QApplication>
#include <QClipboard>
#include <QContextMenuEvent>
#include <QDateTime>
#include <QGlyphRun>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QPainter>
#include <QPushButton>
#include <QScrollBar>
#include <algorithm>
#include <chrono>
#include <cmath>
#include <utility>

#include "bench/ansi_text.h"
#include "res/fixed_font.h"

namespace {

constexpr int STAMP_WIDTH = 13;  // "HH:MM:SS.mmm "
constexpr qint64 DAY_MS = 24 * 3600 * 1000;

qint64 SteadyNs() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

void AppendDigits(QString& out, qint64 value, int digits) {
    for (int shift = digits - 1; shift >= 0; --shift) {
        qint64 divisor = 1;
        for (int i = 0; i < shift; ++i) {
            divisor *= 10;
        }
        out += QLatin1Char(static_cast<char>('0' + value / divisor % 10));
    }
}

void AppendHex(QString& out, qint64 value, int digits) {
    static const char* const HEX = "0123456789ABCDEF";
    for (int shift = (digits - 1) * 4; shift >= 0; shift -= 4) {
        out += QLatin1Char(HEX[(value >> shift) & 0xF]);
    }
}

bool IsLineEnd(uint8_t byte) {
    return byte == '\r' || byte == '\n';
}

}  // namespace

TrafficView::TrafficView(QWidget* parent)
    : QAbstractScrollArea(parent),
      steadyBaseNs(SteadyNs()),
      wallBaseMs(QDateTime::currentMSecsSinceEpoch()) {
    setFocusPolicy(Qt::StrongFocus);
    // The board's lines can be long and have no line end: scroll sideways, never wrap.
    setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    viewport()->setCursor(Qt::IBeamCursor);
    viewport()->setAttribute(Qt::WA_OpaquePaintEvent);
    // Scroll bars that fill their own background are opaque to Qt: repainting one does not
    // repaint the frame and group box behind it, several times a second while bytes flow.
    verticalScrollBar()->setAutoFillBackground(true);
    horizontalScrollBar()->setAutoFillBackground(true);
    viewport()->installEventFilter(this);
    localOffsetMs = QDateTime::currentDateTime().offsetFromUtc() * 1000LL;
    UpdateFont();

    frameTimer.setSingleShot(true);
    // A coarse timer may fire a few ms late, which the latency of every byte would carry.
    frameTimer.setTimerType(Qt::PreciseTimer);
    connect(&frameTimer, &QTimer::timeout, this, &TrafficView::Flush);
    // Workers emit from their own threads; the queued call object is made here, on the GUI
    // thread, not once per batch on the worker.
    connect(this, &TrafficView::FlushWanted, this, &TrafficView::ScheduleFlush,
            Qt::QueuedConnection);
    sinceFlush.start();
    rateWindow.start();

    findBar = new QWidget(this);
    auto* layout = new QHBoxLayout(findBar);
    layout->setContentsMargins(2, 1, 2, 1);
    findEdit = new QLineEdit(findBar);
    findEdit->installEventFilter(this);
    auto* previous = new QPushButton(tr("Previous"), findBar);
    auto* next = new QPushButton(tr("Next"), findBar);
    findStatus = new QLabel(findBar);
    for (QPushButton* button : {previous, next}) {
        button->setFocusPolicy(Qt::NoFocus);
        button->setAutoDefault(false);
    }
    layout->addWidget(new QLabel(tr("Find:"), findBar));
    layout->addWidget(findEdit, 1);
    layout->addWidget(previous);
    layout->addWidget(next);
    layout->addWidget(findStatus);
    connect(previous, &QPushButton::clicked, this, [this] { FindNext(findEdit->text(), true); });
    connect(next, &QPushButton::clicked, this, [this] { FindNext(findEdit->text()); });
    connect(findEdit, &QLineEdit::textEdited, findStatus, &QLabel::clear);
    findBar->hide();

    barTimer.setSingleShot(true);
    barTimer.setInterval(BAR_PAINT_MS);
    connect(&barTimer, &QTimer::timeout, this, [this] { SetBarsPainted(true); });
}

void TrafficView::SetBarsPainted(bool painted) {
    for (QScrollBar* bar : {verticalScrollBar(), horizontalScrollBar()}) {
        if (bar->updatesEnabled() != painted) {
            bar->setUpdatesEnabled(painted);  // enabling repaints it
        }
    }
}

TrafficView::~TrafficView() {
    emit Closing();
}

void TrafficView::UpdateFont() {
    // Columns must line up (hex, timestamps, selection by column), and unshaped text keeps a
    // row cheap to draw: a fixed-pitch font in the size the page gives the view.
    QFont fixed = FixedPitchFont();
    if (font().pointSizeF() > 0) {
        fixed.setPointSizeF(font().pointSizeF());
    } else if (font().pixelSize() > 0) {
        fixed.setPixelSize(font().pixelSize());
    }
    fixed.setStyleStrategy(QFont::PreferNoShaping);
    fixed.setKerning(false);
    rowFont = fixed;
    rawFont = QRawFont::fromFont(rowFont);
    glyphCache.assign(0x2500, UNKNOWN_GLYPH);  // Latin, punctuation, the control pictures
    const QFontMetricsF metrics(rowFont);
    charWidth = std::max<qreal>(1, metrics.horizontalAdvance(QLatin1Char('0')));
    lineHeight = std::max(1, static_cast<int>(std::ceil(metrics.height())));
    ascent = static_cast<int>(std::ceil(metrics.ascent()));
    horizontalScrollBar()->setSingleStep(static_cast<int>(std::ceil(charWidth)));
    UpdateScrollBars();
    viewport()->update();
}

void TrafficView::changeEvent(QEvent* event) {
    QAbstractScrollArea::changeEvent(event);
    if (event->type() == QEvent::FontChange) {
        UpdateFont();
    }
}

void TrafficView::AppendChar(uint8_t byte) {
    AppendBytes(&byte, 1);
}

void TrafficView::AppendBytes(const uint8_t* bytes, size_t count) {
    if (count == 0) {
        return;
    }
    const qint64 now = SteadyNs();
    // The flag spares the lock while no tap is set, which is nearly always.
    if (hasTap.load(std::memory_order_acquire)) {
        std::lock_guard<std::mutex> hold(tapMutex);
        if (tap) {
            tap(bytes, count, WallMs(now));
        }
    }
    bool post = false;
    {
        std::lock_guard<std::mutex> hold(pendingMutex);
        pendingMarks.push_back({pending.size(), received, now});
        pending.append(reinterpret_cast<const char*>(bytes), static_cast<qsizetype>(count));
        received += static_cast<qint64>(count);
        // What waits is bounded too, paused or not: keep the newest, count what went.
        if (pending.size() > TRIM_AT) {
            const qint64 cut = pending.size() - SCROLL_BACK;
            pending.remove(0, cut);
            size_t first = 0;
            while (first + 1 < pendingMarks.size() && pendingMarks[first + 1].pos <= cut) {
                ++first;
            }
            pendingMarks.erase(pendingMarks.begin(),
                               pendingMarks.begin() + static_cast<std::ptrdiff_t>(first));
            pendingMarks.front().offset += cut - pendingMarks.front().pos;
            pendingMarks.front().pos = cut;
            for (Mark& mark : pendingMarks) {
                mark.pos -= cut;
            }
            pendingDropped += cut;
            droppedWhilePaused = droppedWhilePaused || pausedForAppend;
        }
        // A paused view is not woken: resuming takes what waits.
        post = !flushPosted && !pausedForAppend;
        flushPosted = flushPosted || post;
    }
    if (post) {
        emit FlushWanted();
    }
}

void TrafficView::SetTap(Tap newTap) {
    Tap old;
    {
        std::lock_guard<std::mutex> hold(tapMutex);
        old = std::exchange(tap, std::move(newTap));
        hasTap.store(static_cast<bool>(tap), std::memory_order_release);
    }
    // The old tap goes here, outside the lock, in case its end has work to do.
}

qint64 TrafficView::WallMs(qint64 steadyNs) const {
    // One wall-clock reading at start and the steady clock since: cheap to take per chunk,
    // and the times of one run never go backwards.
    return wallBaseMs + (steadyNs - steadyBaseNs) / 1000000;
}

void TrafficView::ScheduleFlush() {
    if (frameTimer.isActive()) {
        return;
    }
    // An update is cheap: show at once when the last one is old enough, else soon after it.
    const qint64 waited = sinceFlush.elapsed();
    if (waited >= flushInterval) {
        Flush();
        return;
    }
    frameTimer.start(static_cast<int>(flushInterval - waited));
}

void TrafficView::Flush() {
    frameTimer.stop();
    if (displayPaused) {
        return;
    }
    QByteArray bytes;
    std::vector<Mark> newMarks;
    qint64 dropped = 0;
    bool whilePaused = false;
    bool any = false;
    {
        std::lock_guard<std::mutex> hold(pendingMutex);
        bytes.swap(pending);
        newMarks.swap(pendingMarks);
        dropped = std::exchange(pendingDropped, 0);
        whilePaused = std::exchange(droppedWhilePaused, false);
        // While bytes keep coming the frame timer takes them, and workers post nothing: one
        // wake-up per update. The first update that finds none lets the next byte post.
        any = !bytes.isEmpty() || dropped > 0;
        flushPosted = any;
    }
    if (!any) {
        return;
    }
    QElapsedTimer cost;
    cost.start();
    TakeIntoStore(bytes, newMarks, dropped, whilePaused);
    // When updating is dear, update less often, so the view never takes more than about a
    // fifth of the GUI thread. The cheaper of the last two counts: one that the system held
    // up (another process ran) is no reason to make the next bytes wait.
    const qint64 took = cost.nsecsElapsed() + paintNs;
    // The rate over the last RATE_WINDOW_MS or more says whether the view is busy: a burst
    // after a stall is not.
    windowBytes += bytes.size();
    if (const qint64 windowMs = rateWindow.elapsed(); windowMs >= RATE_WINDOW_MS) {
        busy = windowBytes * 1000 > BUSY_RATE * windowMs;
        windowBytes = 0;
        rateWindow.restart();
    }
    // A scroll bar costs more to paint than the rows (its style, and the page behind it).
    // While busy its value changes at every update: it is repainted a few times a second.
    if (busy && !barTimer.isActive()) {
        SetBarsPainted(false);
        barTimer.start();
    } else if (!busy) {
        SetBarsPainted(true);
    }
    flushInterval = std::clamp<qint64>(std::min(took, lastCostNs) * 4 / 1000000,
                                       busy ? BUSY_FRAME_MS : UPDATE_GAP_MS, MAX_FRAME_MS);
    lastCostNs = took;
    sinceFlush.restart();
    frameTimer.start(static_cast<int>(flushInterval));
    emit Updated();
}

void TrafficView::TakeIntoStore(QByteArray& bytes, std::vector<Mark>& newMarks, qint64 dropped,
                                bool whilePaused) {
    if (dropped > 0 && !whilePaused) {
        // The batch lost its start: what the store holds is older still, and kept beside the
        // batch it would hide the gap. The batch alone is the newest bytes.
        storeBase = StoreEnd();
        store.clear();
        marks.clear();
        notes.clear();
        rowBase += static_cast<qint64>(rows.size());
        rows.clear();
        rowOpen = false;
        lastWasCr = false;
        anchor = caret = {rowBase, 0};  // the selection went with its rows
    } else if (dropped > 0) {
        // Passed over while paused: say so where it happened.
        notes.push_back({StoreEnd(), dropped});
        CloseRow();
        rows.push_back({StoreEnd(), 0, NOTE});
        lastWasCr = false;
    }
    const qint64 from = StoreEnd();
    for (const Mark& mark : newMarks) {
        marks.push_back({from + mark.pos, mark.offset, mark.steadyNs});
    }
    store.append(bytes);
    IndexFrom(from, false);
    Trim();
    UpdateScrollBars();
    viewport()->update();
}

void TrafficView::CloseRow() {
    if (rowOpen) {
        maxChars = std::max(maxChars, openChars);
    }
    rowOpen = false;
    openChars = 0;
}

void TrafficView::IndexFrom(qint64 from, bool withNotes) {
    auto mark = std::lower_bound(marks.begin(), marks.end(), from,
                                 [](const Mark& m, qint64 pos) { return m.pos < pos; });
    auto note = withNotes ? std::lower_bound(notes.begin(), notes.end(), from,
                                             [](const Note& n, qint64 pos) { return n.pos < pos; })
                          : notes.end();
    const bool chunkRows = timestampMode == TimestampMode::Chunk;
    const auto* data = reinterpret_cast<const uint8_t*>(store.constData());
    const qint64 end = StoreEnd();
    for (qint64 pos = from; pos <= end; ++pos) {
        for (; note != notes.end() && note->pos == pos; ++note) {
            CloseRow();
            rows.push_back({pos, 0, NOTE});
            lastWasCr = false;
        }
        if (pos == end) {
            break;
        }
        bool chunkStart = false;
        if (mark != marks.end() && mark->pos == pos) {
            chunkStart = true;
            ++mark;
        }
        if (chunkRows && chunkStart) {
            CloseRow();
        }
        const uint8_t byte = data[pos - storeBase];
        if (hexMode) {
            if (rowOpen && rows.back().length == HEX_ROW) {
                CloseRow();
            }
            if (!rowOpen) {
                rows.push_back({pos, 0, 0});
                rowOpen = true;
            }
            ++rows.back().length;
            continue;
        }
        // A zero byte adds nothing; it stays with the row it came in, also between CR and LF.
        if (byte == 0 && !rowOpen && lastWasCr && !chunkStart) {
            ++rows.back().length;
            continue;
        }
        // CR, LF and CR LF end one line each, also when the pair arrives in two batches.
        if (byte == '\n' && lastWasCr && !rows.empty()) {
            ++rows.back().length;
            lastWasCr = false;
            continue;
        }
        if (byte != 0) {
            lastWasCr = byte == '\r';
        }
        const bool lineEnd = IsLineEnd(byte);
        // Fold a long line, so no row grows without end.
        if (rowOpen && !lineEnd && byte != 0 && openChars == FOLD_AT) {
            CloseRow();
            rows.push_back({pos, 0, FOLDED});
            rowOpen = true;
        }
        if (!rowOpen) {
            rows.push_back({pos, 0, 0});
            rowOpen = true;
        }
        ++rows.back().length;
        if (lineEnd) {
            CloseRow();
        } else if (byte != 0) {
            ++openChars;
        }
    }
}

void TrafficView::Reindex() {
    rowBase += static_cast<qint64>(rows.size());
    rows.clear();
    rowOpen = false;
    openChars = 0;
    lastWasCr = false;
    maxChars = 0;
    IndexFrom(storeBase, true);
    anchor = caret = {rowBase, 0};
    following = true;
    UpdateScrollBars();
    viewport()->update();
}

void TrafficView::Trim() {
    // Drop the oldest bytes in large chunks, so trimming is rare.
    if (store.size() <= TRIM_AT) {
        return;
    }
    const qint64 newBase = StoreEnd() - SCROLL_BACK;
    store.remove(0, newBase - storeBase);
    storeBase = newBase;
    size_t drop = 0;
    while (drop < rows.size()) {
        const Row& row = rows[drop];
        const bool gone =
            (row.flags & NOTE) != 0 ? row.start < newBase : row.start + row.length <= newBase;
        if (!gone) {
            break;
        }
        ++drop;
    }
    rows.erase(rows.begin(), rows.begin() + static_cast<std::ptrdiff_t>(drop));
    rowBase += static_cast<qint64>(drop);
    scrollShift += static_cast<int>(drop);
    if (!rows.empty() && (rows.front().flags & NOTE) == 0 && rows.front().start < newBase) {
        rows.front().length -= static_cast<qint32>(newBase - rows.front().start);
        rows.front().start = newBase;
    }
    while (marks.size() > 1 && marks[1].pos <= newBase) {
        marks.pop_front();
    }
    if (!marks.empty() && marks.front().pos < newBase) {
        marks.front().offset += newBase - marks.front().pos;
        marks.front().pos = newBase;
    }
    while (!notes.empty() && notes.front().pos < newBase) {
        notes.pop_front();
    }
    const Pos oldest{rowBase, 0};
    anchor = std::max(anchor, oldest);
    caret = std::max(caret, oldest);
}

void TrafficView::UpdateScrollBars() {
    adjusting = true;
    QScrollBar* vertical = verticalScrollBar();
    const int page = std::max(1, viewport()->height() / lineHeight);
    const int last = std::max(0, static_cast<int>(rows.size()) - page);
    const int value = vertical->value() - std::exchange(scrollShift, 0);
    vertical->setRange(0, last);
    vertical->setPageStep(page);
    vertical->setValue(following ? last : std::clamp(value, 0, last));
    following = vertical->value() >= last;

    const int columns = PrefixWidth() + (hexMode ? OffsetDigits() + 2 + 3 * HEX_ROW + 1 + HEX_ROW
                                                 : std::max(maxChars, openChars));
    QScrollBar* horizontal = horizontalScrollBar();
    const int width = static_cast<int>(std::ceil((columns + 1) * charWidth));
    horizontal->setRange(0, std::max(0, width - viewport()->width()));
    horizontal->setPageStep(viewport()->width());
    adjusting = false;
}

void TrafficView::scrollContentsBy(int /*dx*/, int /*dy*/) {
    // Following the newest row ends when the user scrolls up and starts again at the bottom.
    if (!adjusting) {
        following = verticalScrollBar()->value() >= verticalScrollBar()->maximum();
    }
    viewport()->update();
}

void TrafficView::resizeEvent(QResizeEvent* event) {
    QAbstractScrollArea::resizeEvent(event);
    UpdateScrollBars();
}

bool TrafficView::eventFilter(QObject* watched, QEvent* event) {
    if (watched == viewport() && event->type() == QEvent::Resize && findBar->isVisible()) {
        const QRect area = viewport()->geometry();
        findBar->setGeometry(area.left(), area.bottom() + 1, area.width(),
                             findBar->sizeHint().height());
    }
    if (watched == findEdit && event->type() == QEvent::KeyPress) {
        auto* key = static_cast<QKeyEvent*>(event);
        const bool back = (key->modifiers() & Qt::ShiftModifier) != 0;
        switch (key->key()) {
            case Qt::Key_Return:
            case Qt::Key_Enter:
            case Qt::Key_F3:
                FindNext(findEdit->text(), back);
                return true;
            case Qt::Key_Escape:
                CloseFind();
                return true;
            default:
                break;
        }
    }
    return QAbstractScrollArea::eventFilter(watched, event);
}

const TrafficView::Mark& TrafficView::MarkAt(qint64 pos) const {
    static const Mark NONE{0, 0, 0};
    auto after = std::upper_bound(marks.begin(), marks.end(), pos,
                                  [](qint64 p, const Mark& m) { return p < m.pos; });
    return after == marks.begin() ? NONE : *(after - 1);
}

bool TrafficView::ChunkStartsAt(size_t index) const {
    const Row& row = rows[index];
    const Mark& mark = MarkAt(row.start);
    if (mark.pos == row.start) {
        return true;
    }
    // The chunk's first byte was an LF that ended the row before, as the second half of a CR
    // LF: its first row of its own starts right after.
    return index > 0 && mark.pos + 1 == row.start && rows[index - 1].start < mark.pos &&
           mark.pos >= storeBase && store.at(mark.pos - storeBase) == '\n';
}

int TrafficView::OffsetDigits() const {
    // Eight hex digits until the bytes since Clear pass 4 GiB, then as many as the newest needs,
    // so an offset never wraps and every row's column is as wide.
    const qint64 end = StoreEnd();
    const Mark& mark = MarkAt(end);
    const qint64 newest = mark.offset + (end - mark.pos);
    int digits = 8;
    while (digits < 16 && (newest >> (4 * digits)) != 0) {
        digits += 4;
    }
    return digits;
}

int TrafficView::PrefixWidth() const {
    return timestampMode == TimestampMode::Off ? 0 : STAMP_WIDTH;
}

QString TrafficView::RowText(size_t index) const {
    const Row& row = rows[index];
    QString out;
    if ((row.flags & NOTE) != 0) {
        const auto note = std::lower_bound(notes.begin(), notes.end(), row.start,
                                           [](const Note& n, qint64 pos) { return n.pos < pos; });
        const qint64 skipped = note != notes.end() ? note->skipped : 0;
        return tr("[\u2026 %1 bytes not shown while paused \u2026]").arg(skipped);
    }
    out.reserve(PrefixWidth() + (hexMode ? 80 : row.length));
    const Mark& mark = MarkAt(row.start);
    if (timestampMode != TimestampMode::Off) {
        // The arrival of the row's first byte, as the time of day.
        const bool stamped = timestampMode == TimestampMode::Chunk ? ChunkStartsAt(index)
                                                                   : (row.flags & FOLDED) == 0;
        if (stamped) {
            const qint64 ms = ((WallMs(mark.steadyNs) + localOffsetMs) % DAY_MS + DAY_MS) % DAY_MS;
            AppendDigits(out, ms / 3600000, 2);
            out += QLatin1Char(':');
            AppendDigits(out, ms / 60000 % 60, 2);
            out += QLatin1Char(':');
            AppendDigits(out, ms / 1000 % 60, 2);
            out += QLatin1Char('.');
            AppendDigits(out, ms % 1000, 3);
            out += QLatin1Char(' ');
        } else {
            out += QString(STAMP_WIDTH, QLatin1Char(' '));
        }
    }
    const auto* data =
        reinterpret_cast<const uint8_t*>(store.constData()) + (row.start - storeBase);
    if (hexMode) {
        // Offset among the bytes received since Clear, the bytes, then the printable ones.
        AppendHex(out, mark.offset + (row.start - mark.pos), OffsetDigits());
        out += QLatin1String("  ");
        for (int i = 0; i < HEX_ROW; ++i) {
            if (i < row.length) {
                AppendHex(out, data[i], 2);
                out += QLatin1Char(' ');
            } else {
                out += QLatin1String("   ");
            }
        }
        out += QLatin1Char(' ');
        for (int i = 0; i < row.length; ++i) {
            out +=
                QLatin1Char(data[i] >= 0x20 && data[i] < 0x7F ? static_cast<char>(data[i]) : '.');
        }
        return out;
    }
    for (int i = 0; i < row.length; ++i) {
        if (data[i] != 0 && !IsLineEnd(data[i])) {
            out += CharFromAnsi(data[i]);
        }
    }
    return out;
}

QString TrafficView::RowsText(Pos from, Pos to) const {
    QString out;
    for (qint64 row = std::max(from.row, rowBase); row <= to.row && row - rowBase < RowCount();
         ++row) {
        const QString text = RowText(static_cast<size_t>(row - rowBase));
        const int start = row == from.row ? std::min<int>(from.column, text.size()) : 0;
        const int end = row == to.row ? std::min<int>(to.column, text.size()) : text.size();
        if (row > from.row) {
            out += QLatin1Char('\n');
        }
        out += text.mid(start, std::max(0, end - start));
    }
    return out;
}

QString TrafficView::Text() {
    Flush();
    QString text;
    text.reserve(store.size());
    bool afterCr = false;
    for (const char c : std::as_const(store)) {
        const auto byte = static_cast<uint8_t>(c);
        if (byte == 0) {
            continue;
        }
        if (byte == '\n' && afterCr) {
            afterCr = false;
            continue;
        }
        afterCr = byte == '\r';
        text += IsLineEnd(byte) ? QChar(QLatin1Char('\n')) : CharFromAnsi(byte);
    }
    return text;
}

QString TrafficView::ShownText() {
    Flush();
    if (rows.empty()) {
        return {};
    }
    return RowsText({rowBase, 0}, {rowBase + RowCount() - 1, INT_MAX});
}

QByteArray TrafficView::HeldBytes() {
    // The newest unbroken run: what came before a gap is not what was received.
    QByteArray held;
    {
        std::lock_guard<std::mutex> hold(pendingMutex);
        if (pendingDropped > 0) {
            return pending;
        }
        held = pending;
    }
    const qint64 from = notes.empty() ? storeBase : notes.back().pos;
    return store.mid(static_cast<qsizetype>(from - storeBase)) + held;
}

QByteArray TrafficView::StoreBytesFrom(qint64 from, qint64* start) const {
    const qint64 first = std::max(from, storeBase);
    *start = first;
    return store.mid(static_cast<qsizetype>(std::min(first, StoreEnd()) - storeBase));
}

void TrafficView::Clear() {
    {
        std::lock_guard<std::mutex> hold(pendingMutex);
        pending.clear();
        pendingMarks.clear();
        received = 0;
        pendingDropped = 0;
        droppedWhilePaused = false;
    }
    // Store positions go on counting, so a reader of the store never mistakes new bytes for
    // old ones; offsets shown in hex start again at 0.
    storeBase = StoreEnd();
    store.clear();
    marks.clear();
    notes.clear();
    Reindex();
}

void TrafficView::SetHexMode(bool hex) {
    if (hex != hexMode) {
        hexMode = hex;
        Reindex();
    }
}

void TrafficView::SetTimestampMode(TimestampMode mode) {
    if (mode != timestampMode) {
        timestampMode = mode;
        Reindex();
    }
}

void TrafficView::SetPaused(bool paused) {
    if (paused == displayPaused) {
        return;
    }
    if (!paused) {
        displayPaused = false;
        {
            std::lock_guard<std::mutex> hold(pendingMutex);
            pausedForAppend = false;
            flushPosted = false;
        }
        Flush();
    } else {
        Flush();
        displayPaused = true;
        std::lock_guard<std::mutex> hold(pendingMutex);
        pausedForAppend = true;
    }
    viewport()->update();
}

int TrafficView::FirstVisibleRow() const {
    return verticalScrollBar()->value();
}

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
            if (ch.unicode() < 0x20) {
                ch = QChar(0x2400 + ch.unicode());
            }
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
