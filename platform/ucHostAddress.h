#pragma once

// The machine's own host name and name resolution to IPv4 addresses.

#include <string>
#include <vector>

namespace kelvane {

// The name this machine calls itself; empty when it cannot be read.
std::string LocalHostName();

// The IPv4 addresses HostName resolves to, in the resolver's order, as dotted
// decimal text; empty when the name does not resolve or has no IPv4 address.
std::vector<std::string> ResolveIPv4Addresses(const std::string& HostName);

}  // namespace kelvane
