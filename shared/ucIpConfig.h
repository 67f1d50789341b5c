#pragma once

#include <string>
#include <vector>

#include "ucNetworkInterfaces.h"

namespace kelvane {

// The address the service listens on when none is configured, and why.
struct TLocalIPChoice {
  std::string Address;  // dotted decimal IPv4; empty when there is none
  std::string Reason;   // for the log: where the address came from
};

// The machine's address for others to reach it by: the first IPv4 address of
// the default route's interface, else the first global (not loopback) IPv4
// address of any interface, else the first address the machine's own host
// name resolves to. Never throws.
TLocalIPChoice ChooseLocalIPNumber();

// The same choice from the given facts, for callers that have them at hand.
TLocalIPChoice ChooseLocalIPNumber(const std::vector<TInterfaceAddress>& Interfaces,
                                   const std::string& DefaultRouteInterface,
                                   const std::vector<std::string>& HostNameAddresses);

// ChooseLocalIPNumber().Address.
std::string GetLocalIPNumber();

}  // namespace kelvane
