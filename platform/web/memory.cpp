// The browser's heap is one linear memory that never shrinks: nothing to give back.
#include "platform/memory.h"

namespace platform {

void ReturnFreedMemory() {}

}  // namespace platform
