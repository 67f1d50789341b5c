#pragma once

// Shared libraries as the dynamic loader finds them.

#include <string>
#include <string_view>

namespace kelvane {

// The file the dynamic loader takes for the library `name` (for example
// "libssl.so.3"); empty when it cannot be loaded.
std::string FindSharedLibrary(std::string_view name);

}  // namespace kelvane
