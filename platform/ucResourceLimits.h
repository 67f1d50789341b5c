#pragma once

#include <cstddef>

namespace kelvane {

// Raises the process's limit of open files to the highest value it may set
// (a listener with thousands of connections needs more than the usual 1024).
// Answers the limit in force afterwards.
std::size_t RaiseOpenFileLimit();

}  // namespace kelvane
