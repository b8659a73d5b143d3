// A read-only view of the bytes the board sent on one channel. Workers append from their
// own threads; the GUI thread takes the bytes in batches, at most once a frame.
#pragma once

#include <QElapsedTimer>
#include <QPlainTextEdit>
#include <QString>
#include <QTimer>
#include <cstdint>
#include <mutex>
#include <string>

class TrafficView : public QPlainTextEdit {
    Q_OBJECT
  public:
    // The view keeps at least this many of the most recent characters.
    static constexpr int SCROLL_BACK = 32767;
    // Once it holds this many, the oldest are dropped in one go down to SCROLL_BACK.
    static constexpr int TRIM_AT = 49152;
    // At most one update per frame.
    static constexpr int FRAME_MS = 16;
    // The longest pause between updates while updates are slow.
    static constexpr int MAX_FRAME_MS = 200;

    explicit TrafficView(QWidget* parent = nullptr);
    ~TrafficView() override;

    // Any thread: appends one byte as one character (a zero byte adds nothing).
    void AppendChar(uint8_t byte);
    // Any thread: appends the bytes in order, as AppendChar would one by one.
    void AppendBytes(const uint8_t* bytes, size_t count);

    // GUI thread: empties the view at once, bytes not yet shown included.
    void Clear();
    // GUI thread: shows the waiting bytes now.
    void Flush();
    // GUI thread: the text shown, after Flush (line ends as "\n").
    QString Text();

  private:
    void ScheduleFlush();
    void Show(const QString& text);

    std::mutex pendingMutex;
    QString pending;           // guarded by pendingMutex
    bool flushPosted = false;  // guarded by pendingMutex
    QTimer frameTimer;
    QElapsedTimer sinceFlush;
    qint64 flushInterval = FRAME_MS;
    bool lastWasCr = false;  // a CR LF split across two batches stays one line end
};
