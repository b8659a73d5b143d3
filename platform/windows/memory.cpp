// The process heap coalesces its free blocks and decommits the large ones on request.
#include "platform/memory.h"

#include "platform/windows/win_api.h"

namespace platform {

void ReturnFreedMemory() {
    ::HeapCompact(::GetProcessHeap(), 0);
}

}  // namespace platform
