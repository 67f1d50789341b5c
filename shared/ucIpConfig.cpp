#include "ucIpConfig.h"

#include "ucHostAddress.h"

namespace kelvane {

std::string GetLocalIPNumber() {
  try {
    const std::string hostName = LocalHostName();
    if (hostName.empty()) return std::string();
    const std::vector<std::string> addresses = ResolveIPv4Addresses(hostName);
    return addresses.empty() ? std::string() : addresses.front();
  } catch (...) {
    // Only an exhausted allocation can end up here; the caller then simply
    // has no local address.
    return std::string();
  }
}

}  // namespace kelvane
