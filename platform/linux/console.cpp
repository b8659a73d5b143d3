// A program started from a terminal prints to it already.
#include "platform/console.h"

namespace platform {

void UseStartingConsole() {}

}  // namespace platform
