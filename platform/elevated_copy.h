// The firmware copier run with the rights the user lacks (pkexec on Linux, UAC on Windows),
// beside the event loop: the password or consent prompt never holds up the window. Qt, used on
// the GUI thread.
#pragma once

#include <QObject>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace platform {

// What the elevated copier came to.
struct ElevatedCopyOutcome {
    bool started = false;  // false: the command could not be started at all
    // The copier's exit code, ELEVATION_DISMISSED, or the elevation's own failure; -1 when it
    // ended without one (killed).
    int exitCode = -1;
    std::string said;  // the last line it or the elevation wrote about it, if any
};

class CElevatedCopy : public QObject {
  public:
    // Starts `command` (as ElevatedCopier() gives it) with the image at `image` handed to the
    // copier as an open file or as its bytes, never as a path; `done` runs on this object's
    // thread once it has ended, never before the constructor has returned. Destroying the
    // object first gives up waiting: a prompt still open is withdrawn where the system allows
    // it, and `done` never runs.
    CElevatedCopy(QObject* parent, const std::vector<std::string>& command,
                  const std::string& image, std::function<void(const ElevatedCopyOutcome&)> done);
    ~CElevatedCopy() override;
    CElevatedCopy(const CElevatedCopy&) = delete;
    CElevatedCopy& operator=(const CElevatedCopy&) = delete;

    struct State;

  private:
    std::shared_ptr<State> state;
};

// How an administrator copies `image` over `target` by hand, as one line for a box.
std::string CopyByHandText(const std::string& image, const std::string& target);

}  // namespace platform
