// The main window "Demo and Test": a tab control with the ReadMe and test pages laid over
// it, and a status bar of three panes.
#pragma once

#include <QRect>
#include <QWidget>
#include <functional>
#include <string>

#include "platform/platform.h"

class CReadMePage;
class CTestPage;
class CStatusBar;
class QAction;
class QTabWidget;

class CMainDialog : public QWidget {
    Q_OBJECT
  public:
    static constexpr int MAIN_TEMPLATE = 102;
    static constexpr int TAB_CONTROL = 1000;
    static constexpr unsigned ABOUT_COMMAND = 0x0010;

    explicit CMainDialog(const platform::Platform& platform, QWidget* parent = nullptr);
    ~CMainDialog() override;  // deletes the test page, then the ReadMe page
    void SetStatusPane(int pane, const std::string& text);  // forwards to ::SetStatusPane

    // Tab 0 shows the ReadMe page and hides the test page, tab 1 the reverse; any other
    // index changes nothing. Pages are never created or destroyed here.
    void OnSelChangeTab(int index);
    // Opens the About box for the About command (low four bits ignored); nothing otherwise.
    void OnSysCommand(unsigned commandId);

    // palvex-sim: deletes the test page (its workers stop, its links close) and creates it
    // again in its place, as at start; `whileStopped` runs in between. The status panes go
    // back to their first texts. Call it with no box or notice of the page open.
    void RestartTestPage(const std::function<void()>& whileStopped);
    // Adds an entry to the context menu of the window and of its tab bar.
    void AddMenuAction(QAction* action);

    QTabWidget* TabControl() const { return tabCtrl; }
    QAction* AboutAction() const { return aboutAction; }

  signals:
    // The user closed the window; the application then ends its run.
    void Closed();

  protected:
    void closeEvent(QCloseEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;

  private:
    void CreatePages(const platform::Platform& platform);

    QTabWidget* tabCtrl = nullptr;
    QAction* aboutAction = nullptr;
    CStatusBar* statusBar = nullptr;
    QRect testPageGeometry;
    platform::Platform pagePlatform;  // what the test page runs on, for a restart
};

extern CMainDialog* g_mainDialog;
extern CTestPage* g_testPage;
extern CReadMePage* g_readMePage;
