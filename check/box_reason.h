// The links' message boxes taken as a reason instead of shown: palvex-check has no window, so
// what a link would have said in a box becomes the failing step's or port's "why".
#pragma once

#include <mutex>
#include <string>
#include <utility>

#include "platform/message_box.h"

class CBoxReason : public platform::IMessageBoxSink {
  public:
    void Show(const std::string& text, const std::string&) override {
        std::lock_guard<std::mutex> hold(mutex);
        last = text;
    }
    // The last box's text, once: a later failure without a box gives "".
    std::string Take() {
        std::lock_guard<std::mutex> hold(mutex);
        return std::exchange(last, {});
    }

  private:
    std::mutex mutex;
    std::string last;
};
