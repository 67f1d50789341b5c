#pragma once

// The machine's network interfaces and their IPv4 addresses.

#include <string>
#include <vector>

namespace kelvane {

struct TInterfaceAddress {
  std::string Interface;  // the interface's name, for example "eth0"
  std::string Address;    // dotted decimal IPv4
  bool Loopback = false;
};

// The IPv4 addresses of the interfaces that are up, in the system's order;
// empty when they cannot be read.
std::vector<TInterfaceAddress> LocalIPv4Interfaces();

// The interface the IPv4 default route leaves by; empty when there is none.
std::string DefaultRouteInterface();

}  // namespace kelvane
