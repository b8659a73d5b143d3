// The main window's status bar of three panes, reached from anywhere on the GUI thread.
#include "app/status_bar.h"

#include <QLabel>

#include "app/kit_notice_dlg.h"
#include "bench/ansi_text.h"
#include "bench/page_host.h"
#include "res/dialog_template.h"

CStatusBar* g_statusBar = nullptr;

namespace {

// The page's way to the panes and the notice while a status bar stands in the main window.
class CStatusBarPageHost : public IPageHost {
  public:
    void SetStatusPane(int pane, const std::string& text) override { ::SetStatusPane(pane, text); }
    void SetStatusPaneToolTip(int pane, const std::string& text) override {
        ::SetStatusPaneToolTip(pane, text);
    }
    void ShowNotice(const std::string& text) override {
        CKitNoticeDlg notice(nullptr);
        notice.SetNoticeText(text);
        notice.exec();
    }
};

CStatusBarPageHost pageHost;

}  // namespace

CStatusBar::CStatusBar(QWidget* parent, int clientWidth) : QStatusBar(parent) {
    setObjectName(QStringLiteral("statusBar"));
    // The main window has no sizing border, so the bar has no size grip.
    setSizeGripEnabled(false);
    const int widths[PANE_COUNT] = {PANE0_WIDTH, clientWidth - PANE1_MARGIN, 0};
    for (int i = 0; i < PANE_COUNT; ++i) {
        auto* label = new QLabel(LoadResourceString(102 + i), this);
        label->setObjectName(QStringLiteral("pane%1").arg(i));
        label->setFrameStyle(QFrame::Panel | QFrame::Sunken);
        // Pane 2 shows whatever the board answers; markup in it is text, not formatting.
        label->setTextFormat(Qt::PlainText);
        if (widths[i] > 0) {
            label->setFixedWidth(widths[i]);
            addWidget(label);
        } else {
            label->setMinimumWidth(0);
            addWidget(label, 1);  // stretches over what is left
        }
        panes[i] = label;
    }
    g_statusBar = this;
    SetPageHost(&pageHost);
}

CStatusBar::~CStatusBar() {
    if (g_statusBar == this) {
        g_statusBar = nullptr;
        SetPageHost(nullptr);
    }
}

void CStatusBar::SetPane(int pane, const QString& text) {
    QLabel* label = Pane(pane);
    if (label != nullptr && label->text() != text) {
        label->setText(text);
    }
}

QLabel* CStatusBar::Pane(int pane) const {
    return pane >= 0 && pane < PANE_COUNT ? panes[pane] : nullptr;
}

void SetStatusPane(int pane, const std::string& text) {
    if (g_statusBar != nullptr) {
        g_statusBar->SetPane(pane, TextFromAnsi(text));
    }
}

void SetStatusPaneToolTip(int pane, const std::string& text) {
    if (g_statusBar != nullptr && g_statusBar->Pane(pane) != nullptr) {
        // The device path comes from the system, in its own encoding.
        g_statusBar->Pane(pane)->setToolTip(
            QString::fromLocal8Bit(text.data(), static_cast<qsizetype>(text.size())));
    }
}

std::string StatusPaneText(int pane) {
    if (g_statusBar == nullptr || g_statusBar->Pane(pane) == nullptr) {
        return {};
    }
    return AnsiFromText(g_statusBar->Pane(pane)->text());
}
