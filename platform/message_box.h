// Message boxes from any thread: the links and pages hand text and caption to a sink that
// shows an information box with an OK button and returns when the user has closed it; a page
// may also ask the user a question.
#pragma once

#include <string>

class QWidget;  // a window of the GUI, only passed through here

namespace platform {

class IMessageBoxSink {
  public:
    virtual ~IMessageBoxSink() = default;
    // May be called on any thread; blocks the caller until the box is dismissed. The box
    // belongs to the program's main window.
    virtual void Show(const std::string& text, const std::string& caption) = 0;
    // As Show, for a box that belongs to one of the caller's windows (a page), which must
    // outlive the call. A sink that places no windows shows it as any other box.
    virtual void ShowOwned(const std::string& text, const std::string& caption, QWidget* owner) {
        (void)owner;
        Show(text, caption);
    }
    // GUI thread only: asks a question the user answers Yes or No to, in a box over `owner`,
    // and returns true for Yes. A sink that cannot ask a person answers No.
    virtual bool Ask(const std::string& text, const std::string& caption, QWidget* owner) {
        (void)text;
        (void)caption;
        (void)owner;
        return false;
    }
};

}  // namespace platform
