#pragma once

#include <cstddef>

namespace kelvane {

// How many file descriptors the process has open right now; 0 when the
// system cannot tell.
std::size_t CountOpenFiles();

}  // namespace kelvane
