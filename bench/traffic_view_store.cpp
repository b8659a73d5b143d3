// The traffic view's store: bytes appended from any thread wait in a pending buffer, go into
// the store in batches on the GUI thread, and are indexed into rows; the oldest are trimmed.
#include "bench/traffic_view.h"

#include <QDateTime>
#include <algorithm>
#include <chrono>
#include <utility>

qint64 TrafficView::SteadyNs() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
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
