#include "ucHeap.h"

#include <malloc.h>

namespace kelvane {

// glibc's malloc_trim(0) releases the free pages of every arena, not only the
// top of the main heap.
void ReturnFreeHeapMemory() { ::malloc_trim(0); }

}  // namespace kelvane
