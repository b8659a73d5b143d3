// A read-only view of the bytes the board sent on one channel. Workers append from their
// own threads; the GUI thread takes the bytes in batches into a bounded store and lays out
// and paints only the rows in sight.
#pragma once

#include <QAbstractScrollArea>
#include <QByteArray>
#include <QElapsedTimer>
#include <QList>
#include <QPointF>
#include <QRawFont>
#include <QString>
#include <QTimer>
#include <atomic>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <vector>

#include "bench/channel_workers.h"

class QLabel;
class QLineEdit;
class QMenu;
class QPainter;

class TrafficView : public QAbstractScrollArea {
    Q_OBJECT
  public:
    // The view keeps at least this many of the most recent bytes.
    static constexpr int SCROLL_BACK = 32767;
    // Once it holds this many, the oldest are dropped in one go down to SCROLL_BACK.
    static constexpr int TRIM_AT = 49152;
    // Updates are cheap: one comes at once when the last is older than UPDATE_GAP_MS, else
    // that much after it, so a byte waits at most about UPDATE_GAP_MS to be shown.
    static constexpr int UPDATE_GAP_MS = 5;
    // Above BUSY_RATE bytes/s over RATE_WINDOW_MS (more than ten times either line limit)
    // nobody reads the rows as they pass: updates come every BUSY_FRAME_MS, which keeps the
    // cost per MB low.
    static constexpr qint64 BUSY_RATE = CHANNEL_BUSY_RATE;
    static constexpr int RATE_WINDOW_MS = 100;
    static constexpr int BUSY_FRAME_MS = 100;
    // The longest pause between updates while updates are slow.
    static constexpr int MAX_FRAME_MS = 200;
    // A line longer than this goes on in the next row, so no row grows without end.
    static constexpr int FOLD_AT = 1024;
    static constexpr int HEX_ROW = 16;  // bytes per row in hex

    enum class TimestampMode { Off, Line, Chunk };
    using Tap = std::function<void(const uint8_t* bytes, size_t count, qint64 arrivalMsSinceEpoch)>;

    explicit TrafficView(QWidget* parent = nullptr);
    ~TrafficView() override;

    // Any thread: appends one byte as one character (a zero byte adds nothing).
    void AppendChar(uint8_t byte);
    // Any thread: appends the bytes in order, as AppendChar would one by one; one call is
    // one received chunk, stamped with its arrival time.
    void AppendBytes(const uint8_t* bytes, size_t count);

    // GUI thread: empties the view at once, bytes not yet shown included.
    void Clear();
    // GUI thread: shows the waiting bytes now (nothing while the display is paused).
    void Flush();
    // GUI thread: the board's text shown, after Flush (line ends as "\n"), whatever the
    // display options.
    QString Text();
    // GUI thread: the text as shown, with timestamps, hex and notes, rows joined by "\n".
    QString ShownText();
    // GUI thread: the raw bytes held since the last Clear (zero bytes included, oldest
    // trimmed like the scroll-back), those waiting while paused included.
    QByteArray HeldBytes();

    // GUI thread: called from AppendBytes on the appending thread with each chunk. Once
    // SetTap returns, the tap it replaced is not running and will not be called again. A
    // tap must not wait for the GUI thread.
    void SetTap(Tap tap);

    void SetHexMode(bool hex);
    bool HexMode() const { return hexMode; }
    void SetTimestampMode(TimestampMode mode);
    TimestampMode Timestamps() const { return timestampMode; }
    void SetPaused(bool paused);
    bool Paused() const { return displayPaused; }

    // Find: opens the bar; FindNext searches from the current match, wrapping at the ends.
    // Returns false (and the bar says so) when nothing matches.
    void OpenFind();
    bool FindNext(const QString& what, bool backwards = false);
    void SelectAll();
    QString SelectedText() const;
    QPoint SelectionStart() const;  // column, row among those held
    // The view's context menu entries, as the menu shows them.
    void FillContextMenu(QMenu& menu);
    // Rows held and the first one in sight (for tests and the page).
    int RowCount() const { return static_cast<int>(rows.size()); }
    int FirstVisibleRow() const;
    bool FollowsNewest() const { return following; }
    int LineHeight() const { return lineHeight; }
    qreal CharWidth() const { return charWidth; }

    // GUI thread, for the benchmarks' probe: the bytes from store position `from` on (or
    // from the oldest held, whose position goes to *start), and the position after the last.
    QByteArray StoreBytesFrom(qint64 from, qint64* start) const;
    qint64 StoreEnd() const { return storeBase + store.size(); }

  signals:
    // Bytes wait to be shown; emitted from the appending thread.
    void FlushWanted();
    // GUI thread: new bytes are in the store (and will be painted).
    void Updated();
    // Just before the context menu shows, so the page can add entries.
    void ContextMenuRequested(QMenu* menu);
    // First thing in the destructor, while the view can still be called: what hangs on it
    // (a running log's tap) lets go here, not from QObject's destructor after its members.
    void Closing();

  protected:
    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void changeEvent(QEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void mouseDoubleClickEvent(QMouseEvent* event) override;
    void contextMenuEvent(QContextMenuEvent* event) override;
    void scrollContentsBy(int dx, int dy) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

  private:
    friend class CTrafficViewAccessible;  // reads rows, caret and selection for screen readers

    // A chunk's start in the store, its offset among the bytes received since Clear, and
    // its arrival on the steady clock.
    struct Mark {
        qint64 pos;
        qint64 offset;
        qint64 steadyNs;
    };
    struct Note {
        qint64 pos;
        qint64 skipped;
    };
    enum RowFlag { FOLDED = 1, NOTE = 2 };  // FOLDED: continues the row before
    struct Row {
        qint64 start;  // store position of its first byte
        qint32 length;
        qint32 flags;
    };
    struct Pos {
        qint64 row;  // rowBase-based number, stable while old rows are dropped
        int column;
        bool operator<(const Pos& other) const {
            return row != other.row ? row < other.row : column < other.column;
        }
        bool operator==(const Pos& other) const {
            return row == other.row && column == other.column;
        }
    };

    // The steady clock in ns, as marks and the view's base keep it.
    static qint64 SteadyNs();
    static bool IsLineEnd(uint8_t byte) { return byte == '\r' || byte == '\n'; }

    void ScheduleFlush();
    void TakeIntoStore(QByteArray& bytes, std::vector<Mark>& marks, qint64 dropped,
                       bool droppedWhilePaused);
    void IndexFrom(qint64 from, bool withNotes);
    void Reindex();
    void CloseRow();
    void Trim();
    void UpdateScrollBars();
    void UpdateFont();
    void SetBarsPainted(bool painted);
    quint32 GlyphFor(char16_t ch);
    void DrawRow(QPainter& painter, const QString& text, qreal x, int baseline);
    // Hex digits of the offset column: 8, more once the bytes since Clear need them.
    int OffsetDigits() const;
    // Whether row `index` is the first row of a chunk of its own, for "At each received chunk".
    bool ChunkStartsAt(size_t index) const;
    const Mark& MarkAt(qint64 pos) const;
    qint64 WallMs(qint64 steadyNs) const;
    int PrefixWidth() const;
    QString RowText(size_t index) const;
    // RowText(index).size(), without making the text.
    int RowTextLength(size_t index) const;
    QString RowsText(Pos from, Pos to) const;
    Pos PosAt(const QPoint& point) const;
    void SetSelection(Pos anchor, Pos caret);
    void ShowPos(Pos pos);
    void Copy();
    void CloseFind();

    // Appending side.
    std::mutex pendingMutex;
    QByteArray pending;               // guarded by pendingMutex
    std::vector<Mark> pendingMarks;   // guarded: positions within pending
    qint64 received = 0;              // guarded: bytes received since Clear
    qint64 pendingDropped = 0;        // guarded: bytes cut from pending's front
    bool droppedWhilePaused = false;  // guarded
    bool flushPosted = false;         // guarded: a flush is posted or the frame timer runs
    bool pausedForAppend = false;     // guarded: the display is paused
    std::mutex tapMutex;              // held while the tap runs
    Tap tap;                          // guarded by tapMutex
    std::atomic<bool> hasTap{false};
    const qint64 steadyBaseNs;
    const qint64 wallBaseMs;
    qint64 localOffsetMs = 0;  // the time zone's, taken once: stamps are cheap to make

    // GUI side: the store, its chunk marks and notes, and the rows over it.
    QByteArray store;
    qint64 storeBase = 0;  // store position of store[0]
    std::deque<Mark> marks;
    std::deque<Note> notes;
    std::deque<Row> rows;
    qint64 rowBase = 0;  // rows dropped from the front since Clear
    bool rowOpen = false;
    int openChars = 0;
    bool lastWasCr = false;
    int maxChars = 0;
    bool hexMode = false;
    TimestampMode timestampMode = TimestampMode::Off;
    bool displayPaused = false;

    // Drawing.
    QFont rowFont;
    QRawFont rawFont;
    static constexpr quint32 UNKNOWN_GLYPH = 0xFFFFFFFF;
    std::vector<quint32> glyphCache;  // by character, UNKNOWN_GLYPH until looked up
    QList<quint32> glyphs;            // reused by each row drawn
    QList<QPointF> positions;
    qreal charWidth = 8;
    int lineHeight = 16;
    int ascent = 12;
    bool following = true;
    bool adjusting = false;  // the view, not the user, moves the scroll bars
    int scrollShift = 0;     // rows dropped from the front since the bars were set

    // Selection (anchor == caret: none).
    Pos anchor{0, 0};
    Pos caret{0, 0};

    // Find bar.
    QWidget* findBar = nullptr;
    QLineEdit* findEdit = nullptr;
    QLabel* findStatus = nullptr;

    QTimer frameTimer;
    QElapsedTimer sinceFlush;
    qint64 flushInterval = UPDATE_GAP_MS;
    QElapsedTimer rateWindow;
    qint64 windowBytes = 0;  // taken since rateWindow started
    bool busy = false;
    static constexpr int BAR_PAINT_MS = 500;  // scroll bars, while busy
    QTimer barTimer;
    qint64 lastCostNs = 0;  // the latest update with its paint
    qint64 paintNs = 0;
};
