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
    // At most one update in this time; it is also the longest a byte waits to be shown, so
    // it stays well below the 20 ms a user takes as immediate.
    static constexpr int FRAME_MS = 12;
    // The longest pause between updates while updates are slow.
    static constexpr int MAX_FRAME_MS = 200;
    // A line longer than this goes on in a new block of the document, marked FOLDED. Qt
    // lays out and draws a whole block again on every change, so one endless line would
    // make each update dearer as it grows (several ms per view at 48,000 characters).
    static constexpr int FOLD_AT = 1024;
    static constexpr int FOLDED = 1;  // user state of a block that continues the one before

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
    // GUI thread: the text shown, after Flush (line ends as "\n"; a folded line is one line).
    QString Text();

  signals:
    // Bytes wait to be shown; emitted from the appending thread.
    void FlushWanted();

  protected:
    void changeEvent(QEvent* event) override;

  private:
    void KeepTextUnshaped();
    void ScheduleFlush();
    void Show(const QString& text);

    std::mutex pendingMutex;
    QString pending;             // guarded by pendingMutex
    bool flushPosted = false;    // guarded by pendingMutex
    bool pendingCutOff = false;  // guarded by pendingMutex: pending lost its oldest text
    QTimer frameTimer;
    QElapsedTimer sinceFlush;
    qint64 flushInterval = FRAME_MS;
    qint64 lastShowMs = 0;   // how long the latest update took
    bool lastWasCr = false;  // a CR LF split across two batches stays one line end
};
