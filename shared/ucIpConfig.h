#pragma once

#include <string>

namespace kelvane {

// The first IPv4 address under which this machine's own host name resolves,
// as dotted decimal text; empty when there is none. Never throws.
std::string GetLocalIPNumber();

}  // namespace kelvane
