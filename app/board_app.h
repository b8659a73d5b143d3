// The application object: builds the main window, runs it until the user closes it, then
// shuts down in order (windows, message boxes, pages, links) while Qt still runs.
#pragma once

#include <functional>

#include "app/command_line.h"
#include "platform/platform.h"

class CQtMessageBoxSink;
class QWidget;

class CBoardApp {
  public:
    // The QApplication must exist already and outlive this object. boxes is the sink in
    // platform.messageBoxes when it is the Qt one (null in tests with their own sink).
    CBoardApp(const platform::Platform& platform, CQtMessageBoxSink* boxes);
    virtual ~CBoardApp();  // shuts down what is still running
    CBoardApp(const CBoardApp&) = delete;
    CBoardApp& operator=(const CBoardApp&) = delete;

    // Creates the main window (g_mainDialog), centres it on the screen and shows it with
    // the ReadMe tab selected. A companion window (the simulated Kit) opens beside it.
    void InitInstance(QWidget* companion = nullptr);
    // InitInstance, then the event loop until the main window closes, then ShutDown.
    // Returns the process's exit code.
    int Run(QWidget* companion = nullptr);
    // Windows disappear first, then the message-box sink lets every waiting worker go,
    // then the main window object is deleted (test page, then ReadMe page). Idempotent.
    void ShutDown();
    // How the traffic views start; InitInstance applies it.
    void SetViewOptions(const ViewOptions& options) { viewOptions = options; }
    // palvex-sim: starts the test page again (CMainDialog::RestartTestPage) once no box or
    // notice is open, letting go of workers that wait for a box meanwhile; `whileStopped`
    // runs while no page exists. True when it ran at once; false when it waits for the open
    // box or notice to close (a later call replaces what waits).
    bool RestartTestPage(std::function<void()> whileStopped);

  private:
    platform::Platform platform;
    CQtMessageBoxSink* boxes;
    QWidget* companion = nullptr;
    ViewOptions viewOptions;
    std::function<void()> pendingRestart;  // the latest restart waiting for a box to close
    bool restartWaiting = false;
};
