// Byte counts per channel: counted lock-free on the workers' threads, shown coalesced.
#include "bench/traffic_counter.h"

#include <algorithm>

CTrafficCounter::CTrafficCounter(QWidget* parent) : QLabel(parent) {
    setTextFormat(Qt::PlainText);
    // Opaque, so a new count does not repaint the group box behind it.
    setAutoFillBackground(true);
    setToolTip(
        tr("Bytes received from the board and sent to it on this channel, since the "
           "start or the last Clear"));
    refreshTimer.setSingleShot(true);
    connect(&refreshTimer, &QTimer::timeout, this, &CTrafficCounter::Refresh);
    // The queued call object is made here, on the GUI thread, not on the worker.
    connect(this, &CTrafficCounter::Changed, this, &CTrafficCounter::ScheduleRefresh,
            Qt::QueuedConnection);
    Refresh();
}

void CTrafficCounter::AddReceived(uint64_t count) {
    received.fetch_add(count, std::memory_order_relaxed);
    Touch();
}

void CTrafficCounter::AddSent(uint64_t count) {
    sent.fetch_add(count, std::memory_order_relaxed);
    Touch();
}

void CTrafficCounter::Touch() {
    // A plain load first: while a refresh is pending, a batch costs no read-modify-write.
    if (!refreshPosted.load(std::memory_order_relaxed) && !refreshPosted.exchange(true)) {
        emit Changed();
    }
}

void CTrafficCounter::Reset() {
    received.store(0);
    sent.store(0);
    Refresh();
}

void CTrafficCounter::SetChannelName(const QString& name) {
    channelName = name;
    Refresh();
}

void CTrafficCounter::ScheduleRefresh() {
    if (refreshTimer.isActive()) {
        return;
    }
    // The first change after a quiet spell shows at once; a stream of them every REFRESH_MS.
    const qint64 waited = sinceRefresh.isValid() ? sinceRefresh.elapsed() : REFRESH_MS;
    refreshTimer.start(static_cast<int>(std::max<qint64>(0, REFRESH_MS - waited)));
}

void CTrafficCounter::Refresh() {
    refreshTimer.stop();
    // Cleared before the counts are read: a change after this read posts the next refresh.
    refreshPosted.store(false);
    const uint64_t in = Received();
    const uint64_t out = Sent();
    setText(tr("Rx %1  Tx %2").arg(in).arg(out));
    // "Rx" and "Tx" read out letter by letter; the spoken form says what they count.
    setAccessibleName(channelName.isEmpty()
                          ? tr("%1 bytes received, %2 sent").arg(in).arg(out)
                          : tr("%1: %2 bytes received, %3 sent").arg(channelName).arg(in).arg(out));
    sinceRefresh.start();
}
