// The byte counts of one channel, received and sent, shown in a small label of the page.
// Workers add from their own threads; the label takes the new counts at most a few times a
// second, and only after a change, so an idle page runs no timer for it.
#pragma once

#include <QElapsedTimer>
#include <QLabel>
#include <QTimer>
#include <atomic>
#include <cstdint>

class CTrafficCounter : public QLabel {
    Q_OBJECT
  public:
    // New counts are shown at most this often.
    static constexpr int REFRESH_MS = 500;

    explicit CTrafficCounter(QWidget* parent = nullptr);

    // Any thread: bytes taken from the link. An atomic add per batch; a queued call to the
    // GUI thread only for the first change since the label was last refreshed.
    void AddReceived(uint64_t count);
    // Any thread: bytes the send commands wrote to the link.
    void AddSent(uint64_t count);
    // GUI thread: both counts back to zero, shown at once.
    void Reset();
    // GUI thread: the channel the counts are of, for the name a screen reader speaks.
    void SetChannelName(const QString& name);

    uint64_t Received() const { return received.load(std::memory_order_relaxed); }
    uint64_t Sent() const { return sent.load(std::memory_order_relaxed); }

  signals:
    // A count changed; emitted from the adding thread.
    void Changed();

  private:
    void Touch();
    void ScheduleRefresh();
    void Refresh();

    QString channelName;
    std::atomic<uint64_t> received{0};
    std::atomic<uint64_t> sent{0};
    // Set by the first change after a refresh, cleared by the refresh that shows it.
    std::atomic<bool> refreshPosted{false};
    QTimer refreshTimer;
    QElapsedTimer sinceRefresh;
};
