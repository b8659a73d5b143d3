// The self-closing notice that tells the user the Kit is missing, and the About box.
#include "app/kit_notice_dlg.h"

#include <qdrawutil.h>
#include <QLabel>
#include <QPainter>
#include <QPointer>
#include <QPushButton>
#include <QTimerEvent>
#include <QWindow>

#include "bench/ansi_text.h"
#include "res/app_icons.h"
#include "res/dialog_template.h"

namespace {

constexpr int NOTICE_TEMPLATE = 131;
constexpr int ABOUT_TEMPLATE = 100;
constexpr int MESSAGE_CONTROL = 1012;
constexpr int OK_BUTTON = 1;

QPointer<QWidget> g_blockedWindow;  // GUI thread only

}  // namespace

CKitNoticeDlg::CKitNoticeDlg(QWidget* parent)
    // Window-modal needs an owner to block: without one Qt blocks every window.
    : QDialog(parent != nullptr ? parent : g_blockedWindow.data(),
              Qt::Dialog | Qt::FramelessWindowHint) {
    const auto controls = BuildDialog(NOTICE_TEMPLATE, *this);
    const auto it = controls.find(MESSAGE_CONTROL);
    messageControl = it == controls.end() ? new QLabel(this) : qobject_cast<QLabel*>(it->second);
    if (messageControl != nullptr) {
        messageControl->setTextFormat(Qt::PlainText);
    }
    setFixedSize(size());
    if (parent == nullptr && g_blockedWindow != nullptr) {
        setWindowModality(Qt::WindowModal);
    } else {
        setModal(true);
    }
}

CKitNoticeDlg::~CKitNoticeDlg() = default;

void CKitNoticeDlg::SetBlockedWindow(QWidget* window) {
    g_blockedWindow = window;
}

void CKitNoticeDlg::SetNoticeText(const std::string& text) {
    noticeText = TextFromAnsi(text);
    // The notice has no title bar: its text is what a screen reader says as it opens.
    setAccessibleName(noticeText);
}

QString CKitNoticeDlg::Text() const {
    return messageControl != nullptr ? messageControl->text() : QString();
}

void CKitNoticeDlg::showEvent(QShowEvent* event) {
    QDialog::showEvent(event);
    // The dialog's initialisation: the first tick comes 10 ms after it appears.
    if (timerId == 0 && tickCount == 0) {
        timerId = startTimer(FIRST_TICK_MS, Qt::PreciseTimer);
    }
}

void CKitNoticeDlg::timerEvent(QTimerEvent* event) {
    if (event->timerId() != timerId) {
        QDialog::timerEvent(event);
        return;
    }
    killTimer(timerId);
    timerId = 0;
    if (messageControl != nullptr) {
        messageControl->setText(noticeText);
    }
    ++tickCount;
    if (tickCount > 1) {
        accept();
    } else {
        timerId = startTimer(SHOW_MS, Qt::PreciseTimer);
    }
}

void CKitNoticeDlg::paintEvent(QPaintEvent* event) {
    QDialog::paintEvent(event);
    // The window system draws no frame on a window without a title bar; the template asks
    // for a dialog frame, so the dialog draws its own raised border.
    QPainter painter(this);
    qDrawWinPanel(&painter, rect(), palette(), false);
}

CAboutBox::CAboutBox()
    : QDialog(nullptr, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                           Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint) {
    const auto controls = BuildDialog(ABOUT_TEMPLATE, *this);
    const auto it = controls.find(OK_BUTTON);
    if (it != controls.end()) {
        if (auto* ok = qobject_cast<QPushButton*>(it->second)) {
            connect(ok, &QPushButton::clicked, this, &QDialog::accept);
        }
    }
    setWindowIcon(LoadAppIcon(ABOUT_ICON));
    setFixedSize(size());
    setModal(true);
}

CAboutBox::~CAboutBox() = default;
