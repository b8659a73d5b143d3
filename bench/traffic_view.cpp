// A read-only view of one channel's received bytes, fed from a worker thread in batches.
// The bytes stay as they came, in a bounded store; rows over it are indexed as bytes arrive
// and turned into text only when they are painted, copied or searched. This file holds the
// widget itself: its parts, font, scroll bars and display modes. Beside it: the store and its
// row index (traffic_view_store.cpp), the rows as text (traffic_view_text.cpp), painting
// (traffic_view_paint.cpp), selection, keys, menu and find (traffic_view_select.cpp), and what
// a screen reader sees (traffic_view_access.cpp).
#include "bench/traffic_view.h"

#include <QDateTime>
#include <QEvent>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QScrollBar>
#include <algorithm>
#include <cmath>

#include "bench/traffic_view_access.h"
#include "res/fixed_font.h"

TrafficView::TrafficView(QWidget* parent)
    : QAbstractScrollArea(parent),
      steadyBaseNs(SteadyNs()),
      wallBaseMs(QDateTime::currentMSecsSinceEpoch()) {
    InstallTrafficViewAccessible();
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
    auto* findName = new QLabel(tr("Find:"), findBar);
    findName->setBuddy(findEdit);  // the field's name for a screen reader
    layout->addWidget(findName);
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
