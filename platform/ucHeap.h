#pragma once

// The process's heap as the operating system sees it.

namespace kelvane {

// Hands the heap's wholly free pages back to the system. The C library keeps
// memory a burst of allocations freed for later use; after a flood of
// connections that would leave the process many times its usual size.
void ReturnFreeHeapMemory();

}  // namespace kelvane
