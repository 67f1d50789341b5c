#include "ucIpConfig.h"

#include "ucHostAddress.h"

namespace kelvane {

TLocalIPChoice ChooseLocalIPNumber(const std::vector<TInterfaceAddress>& Interfaces,
                                   const std::string& DefaultRouteInterface,
                                   const std::vector<std::string>& HostNameAddresses) {
  for (const TInterfaceAddress& entry : Interfaces) {
    if (!entry.Loopback && !DefaultRouteInterface.empty() && entry.Interface == DefaultRouteInterface) {
      return {entry.Address, "the address of " + entry.Interface + ", the default route's interface"};
    }
  }
  // A host name often resolves to a loopback address (Debian maps it to
  // 127.0.1.1), where nobody else can reach the service: interfaces first.
  for (const TInterfaceAddress& entry : Interfaces) {
    if (!entry.Loopback) return {entry.Address, "the first address of " + entry.Interface};
  }
  if (!HostNameAddresses.empty()) return {HostNameAddresses.front(), "the first address of the host name"};
  return {};
}

TLocalIPChoice ChooseLocalIPNumber() {
  try {
    const std::string hostName = LocalHostName();
    return ChooseLocalIPNumber(LocalIPv4Interfaces(), DefaultRouteInterface(),
                               hostName.empty() ? std::vector<std::string>() : ResolveIPv4Addresses(hostName));
  } catch (...) {
    // Only an exhausted allocation can end up here; the caller then simply
    // has no local address.
    return {};
  }
}

std::string GetLocalIPNumber() { return ChooseLocalIPNumber().Address; }

}  // namespace kelvane
