// The application object: builds the main window, runs it until the user closes it, then
// shuts down in order (windows, message boxes, pages, links) while Qt still runs.
#include "app/board_app.h"

#include <QAction>
#include <QApplication>
#include <QScreen>
#include <QTimer>
#include <QWidget>
#include <algorithm>

#include "app/keyboard_menus.h"
#include "app/kit_notice_dlg.h"
#include "app/main_dialog.h"
#include "platform/qt_message_box.h"
#include "res/app_icons.h"

namespace {

constexpr int COMPANION_GAP = 16;

// The outer frame the window system adds, guessed before the window is first shown.
constexpr int FRAME_GUESS = 8;

// How often a waiting restart looks whether the box or notice in its way has closed.
constexpr int RESTART_RETRY_MS = 100;

}  // namespace

CBoardApp::CBoardApp(const platform::Platform& platform, CQtMessageBoxSink* boxes)
    : platform(platform), boxes(boxes) {}

CBoardApp::~CBoardApp() {
    ShutDown();
}

void CBoardApp::InitInstance(QWidget* companionWindow) {
    companion = companionWindow;
    // Every window of the program (boxes, the sim window) shows the program's icon.
    QApplication::setWindowIcon(LoadAppIcon(MAIN_ICON));
    InstallKeyboardMenus();
    auto* dialog = new CMainDialog(platform);
    g_mainDialog = dialog;
    ApplyViewOptions(viewOptions);
    // Boxes without an owner of their own (the serial link's) appear over the main window.
    if (boxes != nullptr) {
        boxes->SetMainWindow(dialog);
    }

    // Centred on the screen, as the framework did once the window was built; the
    // companion goes to its right, so both are centred together when it has one.
    QScreen* screen = QGuiApplication::primaryScreen();
    const QRect area = screen != nullptr ? screen->availableGeometry() : QRect(0, 0, 1024, 768);
    int totalWidth = dialog->width();
    if (companion != nullptr) {
        companion->adjustSize();
        totalWidth += COMPANION_GAP + FRAME_GUESS + companion->width();
    }
    const int x = area.left() + std::max(0, (area.width() - totalWidth) / 2);
    const int y = area.top() + std::max(0, (area.height() - dialog->height()) / 2);
    dialog->move(x, y);
    dialog->show();
    if (companion != nullptr) {
        companion->move(x + dialog->frameGeometry().width() + COMPANION_GAP, y);
        companion->show();
        // Closing the companion only hides it; the main window's menu brings it back.
        auto* showCompanion = new QAction(QString::fromUtf8("Simulated Kit\u2026"), dialog);
        QWidget* window = companion;
        QObject::connect(showCompanion, &QAction::triggered, window, [window] {
            window->showNormal();
            window->raise();
            window->activateWindow();
        });
        dialog->AddMenuAction(showCompanion);
        // Notices then block the main window only, as its boxes do, not the companion.
        CKitNoticeDlg::SetBlockedWindow(dialog);
    }
    dialog->activateWindow();
}

int CBoardApp::Run(QWidget* companionWindow) {
    // The main window alone ends the run, whatever other windows are open.
    QApplication::setQuitOnLastWindowClosed(false);
    InitInstance(companionWindow);
    QObject::connect(g_mainDialog, &CMainDialog::Closed, qApp, &QCoreApplication::quit,
                     Qt::QueuedConnection);
    QApplication::exec();
    ShutDown();
    return 0;
}

bool CBoardApp::RestartTestPage(std::function<void()> whileStopped) {
    if (g_mainDialog == nullptr) {
        return false;
    }
    // A box or notice runs its own event loop, and the page's code that opened it is still
    // on the stack below: deleting the page now would pull the page from under it.
    if (QApplication::activeModalWidget() != nullptr) {
        pendingRestart = std::move(whileStopped);
        if (!restartWaiting) {
            restartWaiting = true;
            QTimer::singleShot(RESTART_RETRY_MS, g_mainDialog, [this] {
                restartWaiting = false;
                RestartTestPage(std::move(pendingRestart));
            });
        }
        return false;
    }
    // The old page's workers may wait for a box that will never show now; the sink lets
    // them go, and drops what they asked for, until the new page runs.
    if (boxes != nullptr) {
        boxes->Shutdown();
    }
    g_mainDialog->RestartTestPage(whileStopped);
    ApplyViewOptions(viewOptions);
    if (boxes != nullptr) {
        boxes->Resume();
    }
    return true;
}

void CBoardApp::ShutDown() {
    if (g_mainDialog == nullptr) {
        return;
    }
    // Windows first, so the user sees the program end at once.
    g_mainDialog->hide();
    if (companion != nullptr) {
        companion->close();
        companion = nullptr;
    }
    QGuiApplication::sync();
    // A worker waiting for its box would otherwise keep the test page's destructor
    // waiting for that worker.
    if (boxes != nullptr) {
        boxes->Shutdown();
    }
    CMainDialog* dialog = g_mainDialog;
    delete dialog;  // the test page, then the ReadMe page
    g_mainDialog = nullptr;
}
