#include "ucNetworkInterfaces.h"

#include <fstream>
#include <sstream>

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>

namespace kelvane {

std::vector<TInterfaceAddress> LocalIPv4Interfaces() {
  std::vector<TInterfaceAddress> result;
  ifaddrs* list = nullptr;
  if (::getifaddrs(&list) != 0) return result;
  for (const ifaddrs* entry = list; entry != nullptr; entry = entry->ifa_next) {
    if (entry->ifa_addr == nullptr || entry->ifa_addr->sa_family != AF_INET) continue;
    if ((entry->ifa_flags & IFF_UP) == 0) continue;
    char text[INET_ADDRSTRLEN] = {};
    const auto* address = reinterpret_cast<const sockaddr_in*>(entry->ifa_addr);
    if (::inet_ntop(AF_INET, &address->sin_addr, text, sizeof text) == nullptr) continue;
    result.push_back(TInterfaceAddress{entry->ifa_name, text, (entry->ifa_flags & IFF_LOOPBACK) != 0});
  }
  ::freeifaddrs(list);
  return result;
}

std::string DefaultRouteInterface() {
  // Lines of "Iface Destination Gateway Flags ..." in hexadecimal; the
  // default route has the destination 0 and the mask 0.
  std::ifstream routes("/proc/net/route");
  std::string line;
  std::getline(routes, line);
  while (std::getline(routes, line)) {
    std::istringstream fields(line);
    std::string name, destination, gateway, flags, refCount, use, metric, mask;
    if (!(fields >> name >> destination >> gateway >> flags >> refCount >> use >> metric >> mask)) continue;
    if (destination == "00000000" && mask == "00000000") return name;
  }
  return {};
}

}  // namespace kelvane
