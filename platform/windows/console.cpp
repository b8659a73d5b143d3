// A window program has no console of its own: it borrows the one of the command prompt that
// started it, if any, so that "palvex --help" answers there.
#include "platform/console.h"

#include <cstdio>

#include "platform/windows/win_api.h"

namespace platform {

void UseStartingConsole() {
    if (AttachConsole(ATTACH_PARENT_PROCESS)) {
        std::freopen("CONOUT$", "w", stdout);
        std::freopen("CONOUT$", "w", stderr);
    }
}

}  // namespace platform
