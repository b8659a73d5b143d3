// Message boxes from any thread on Qt: the GUI thread shows the box itself; a worker thread
// asks the GUI thread to show it and sleeps until the user has closed it.
#pragma once

#include <memory>
#include <string>

#include "platform/message_box.h"

class QWidget;

class CQtMessageBoxSink : public platform::IMessageBoxSink {
  public:
    CQtMessageBoxSink();
    ~CQtMessageBoxSink() override;  // releases waiting workers, as Shutdown does
    CQtMessageBoxSink(const CQtMessageBoxSink&) = delete;
    CQtMessageBoxSink& operator=(const CQtMessageBoxSink&) = delete;

    // An information box with an OK button, the caption and the text (UTF-8, as every
    // backend gives its error texts), shown as plain text over its owner,
    // or over the main window when it has none.
    // On the GUI thread it runs the box at once; on any other thread it hands the box to
    // the GUI thread and waits until it is dismissed or Shutdown() is called.
    void Show(const std::string& text, const std::string& caption) override;
    void ShowOwned(const std::string& text, const std::string& caption, QWidget* owner) override;
    // A question box with Yes and No, as plain text over its owner; No when shut down.
    bool Ask(const std::string& text, const std::string& caption, QWidget* owner) override;

    // GUI thread: the window that boxes without an owner of their own belong to. A box whose
    // owner is not on screen (the program is still starting) is centred on the screen.
    void SetMainWindow(QWidget* window);
    // GUI thread: a box with an owner blocks only the owner's window, not every window of
    // the program. palvex-sim sets it so its Simulated Kit window stays usable meanwhile;
    // boxes without an owner on screen still block everything.
    void SetOwnerModal(bool ownerModal);

    // Releases every worker waiting in Show at once and makes later Show calls on every
    // thread return without a box; boxes not yet shown are dropped. Call on the GUI thread
    // before it stops workers that may be waiting here.
    void Shutdown();
    bool IsShutDown() const;
    // Lets boxes show again after Shutdown; requests made before it stay dropped. The test
    // page is started again this way: its old workers are let go, the new page's boxes show.
    void Resume();

    // The boxes the GUI thread has open right now, and the workers' requests it has not
    // yet taken from its event queue.
    int OpenBoxes() const;
    int QueuedRequests() const;

    struct State;  // shared with queued requests, which may outlive the sink

  private:
    std::shared_ptr<State> state;
};
