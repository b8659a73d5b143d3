// The main window "Demo and Test": a tab control with the ReadMe and test pages laid over
// it, and a status bar of three panes.
#include "app/main_dialog.h"

#include <QAction>
#include <QCloseEvent>
#include <QKeyEvent>
#include <QTabBar>
#include <QTabWidget>
#include <algorithm>

#include "app/kit_notice_dlg.h"
#include "app/status_bar.h"
#include "bench/test_page.h"
#include "readme/readme_page.h"
#include "res/app_icons.h"
#include "res/dialog_template.h"

CMainDialog* g_mainDialog = nullptr;
CTestPage* g_testPage = nullptr;
CReadMePage* g_readMePage = nullptr;

namespace {

constexpr int ABOUT_STRING = 101;

// The pages' places over the tab control: inset 10 pixels left and right, and shorter than
// the control by these amounts.
constexpr int PAGE_INSET = 10;
constexpr int README_PAGE_SHORTER = 60;
constexpr int TEST_PAGE_SHORTER = 50;
constexpr int PANE_FRAME = 2;  // the tab control's frame below the pages
constexpr int README_TEMPLATE = 129;
constexpr int TEST_TEMPLATE = 130;
constexpr int FIRST_PANE_STRING = 102;  // the panes' first texts, as the status bar sets them

}  // namespace

CMainDialog::CMainDialog(const platform::Platform& platform, QWidget* parent)
    : QWidget(parent, Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                          Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint |
                          Qt::WindowCloseButtonHint) {
    setObjectName(QStringLiteral("mainDialog"));
    // The pages reach the status bar through the main window while it is being built.
    g_mainDialog = this;

    // The tab control: a tab widget draws the headers and the frame below them; it holds
    // empty stand-ins, and the real pages lie on top of it as children of this window.
    const auto controls =
        BuildDialog(MAIN_TEMPLATE, *this, [](const DialogControl& control, QWidget* parent) {
            return control.kind == "tab" ? static_cast<QWidget*>(new QTabWidget(parent)) : nullptr;
        });
    const auto it = controls.find(TAB_CONTROL);
    tabCtrl = it != controls.end() ? qobject_cast<QTabWidget*>(it->second) : nullptr;
    if (tabCtrl == nullptr) {
        tabCtrl = new QTabWidget(this);
    }
    tabCtrl->setObjectName(QStringLiteral("tabCtrl"));
    // Fixed size: no sizing border and no maximise box.
    setFixedSize(size());

    // The About item: Linux desktops have no window system menu, so it is offered in the
    // context menu of the window and of its tab bar. An empty string adds nothing.
    const QString aboutText = LoadResourceString(ABOUT_STRING);
    if (!aboutText.isEmpty()) {
        aboutAction = new QAction(aboutText, this);
        connect(aboutAction, &QAction::triggered, this, [this] { OnSysCommand(ABOUT_COMMAND); });
        AddMenuAction(aboutAction);
    }

    // The caption, task bar and task switcher show this icon; a minimised window and its
    // drag image are drawn by the window system from it, so no painting of our own is needed.
    setWindowIcon(LoadAppIcon(MAIN_ICON));

    CreatePages(platform);

    // The status bar along the bottom edge over the full client width; pane 1 is the
    // client width less 400 pixels, taken once now.
    statusBar = new CStatusBar(this, width());
    const int barHeight = statusBar->sizeHint().height();
    statusBar->setGeometry(0, height() - barHeight, width(), barHeight);
    statusBar->show();
}

CMainDialog::~CMainDialog() {
    // The test page first: its destructor stops the workers and closes both links.
    delete g_testPage;
    g_testPage = nullptr;
    delete g_readMePage;
    g_readMePage = nullptr;
    if (g_mainDialog == this) {
        g_mainDialog = nullptr;
    }
}

void CMainDialog::AddMenuAction(QAction* action) {
    addAction(action);
    setContextMenuPolicy(Qt::ActionsContextMenu);
    tabCtrl->tabBar()->addAction(action);
    tabCtrl->tabBar()->setContextMenuPolicy(Qt::ActionsContextMenu);
}

void CMainDialog::RestartTestPage(const std::function<void()>& whileStopped) {
    delete g_testPage;
    g_testPage = nullptr;
    if (whileStopped) {
        whileStopped();
    }
    for (int pane = 0; pane < CStatusBar::PANE_COUNT; ++pane) {
        statusBar->SetPane(pane, LoadResourceString(FIRST_PANE_STRING + pane));
        SetStatusPaneToolTip(pane, "");
    }
    g_testPage = new CTestPage(this, pagePlatform);
    g_testPage->setGeometry(testPageGeometry);
    g_testPage->setVisible(tabCtrl->currentIndex() == 1);
}

void CMainDialog::SetStatusPane(int pane, const std::string& text) {
    ::SetStatusPane(pane, text);
}

void CMainDialog::CreatePages(const platform::Platform& platform) {
    const QRect t = tabCtrl->geometry();
    tabCtrl->addTab(new QWidget, QStringLiteral("ReadMe"));
    tabCtrl->addTab(new QWidget, QStringLiteral("Demo and Test"));
    tabCtrl->setCurrentIndex(0);

    // The pages start where the row of tab headers ends, inset from the control's sides.
    const int top = t.top() + tabCtrl->tabBar()->sizeHint().height();
    const int left = t.left() + PAGE_INSET;
    const int width = t.width() - 2 * PAGE_INSET;
    // Each page is shorter than the control by a fixed amount, but never shorter than its
    // own template, whose lowest controls would otherwise be cut off, nor longer than the
    // room inside the control's frame.
    const int room = t.bottom() - PANE_FRAME - top;
    const auto pageHeight = [&](int templateId, int shorter) {
        const DialogTemplate& page = LoadDialogTemplate(templateId);
        const int own = DialogUnitsToPixels(page, page.units).height();
        return std::min(std::max(t.height() - shorter, own), room);
    };

    g_readMePage = new CReadMePage(this, platform);
    g_readMePage->setGeometry(left, top, width, pageHeight(README_TEMPLATE, README_PAGE_SHORTER));
    g_readMePage->show();

    pagePlatform = platform;
    testPageGeometry = QRect(left, top, width, pageHeight(TEST_TEMPLATE, TEST_PAGE_SHORTER));
    g_testPage = new CTestPage(this, platform);
    g_testPage->setGeometry(testPageGeometry);
    g_testPage->hide();

    connect(tabCtrl, &QTabWidget::currentChanged, this, &CMainDialog::OnSelChangeTab);
}

void CMainDialog::OnSelChangeTab(int index) {
    if (g_readMePage == nullptr || g_testPage == nullptr) {
        return;
    }
    if (index == 0) {
        g_readMePage->show();
        g_testPage->hide();
    } else if (index == 1) {
        g_readMePage->hide();
        g_testPage->show();
    }
}

void CMainDialog::OnSysCommand(unsigned commandId) {
    if ((commandId & 0xFFF0u) == ABOUT_COMMAND) {
        CAboutBox about;
        about.exec();
    }
}

void CMainDialog::closeEvent(QCloseEvent* event) {
    event->accept();
    emit Closed();
}

void CMainDialog::keyPressEvent(QKeyEvent* event) {
    // Escape is the dialog's Cancel and ends the run, as in any dialog. Return is not taken
    // as OK here: a Return typed in a send box must not close the program.
    if (event->key() == Qt::Key_Escape && event->modifiers() == Qt::NoModifier) {
        close();
        return;
    }
    QWidget::keyPressEvent(event);
}
