// glibc keeps freed chunks in each thread's arena; malloc_trim gives their whole pages back in
// every arena, not only at the top of the main heap.
#include "platform/memory.h"

#include <malloc.h>

namespace platform {

void ReturnFreedMemory() {
    ::malloc_trim(0);
}

}  // namespace platform
