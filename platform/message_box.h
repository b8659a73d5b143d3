// Message boxes from any thread: the links and pages hand text and caption to a sink that
// shows an information box with an OK button and returns when the user has closed it.
#pragma once

#include <string>

namespace platform {

class IMessageBoxSink {
  public:
    virtual ~IMessageBoxSink() = default;
    // May be called on any thread; blocks the caller until the box is dismissed.
    virtual void Show(const std::string& text, const std::string& caption) = 0;
};

}  // namespace platform
