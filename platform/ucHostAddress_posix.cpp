#include "ucHostAddress.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>

namespace kelvane {

std::string LocalHostName() {
  std::array<char, 256> buffer{};
  if (::gethostname(buffer.data(), buffer.size()) != 0) return std::string();
  buffer.back() = '\0';  // a truncated name need not be terminated
  return std::string(buffer.data());
}

std::vector<std::string> ResolveIPv4Addresses(const std::string& HostName) {
  std::vector<std::string> addresses;
  if (HostName.empty()) return addresses;
  addrinfo hints{};
  hints.ai_family = AF_INET;
  // One socket type, or every address comes back once per type.
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  if (::getaddrinfo(HostName.c_str(), nullptr, &hints, &found) != 0) return addresses;
  for (const addrinfo* entry = found; entry != nullptr; entry = entry->ai_next) {
    if (entry->ai_family != AF_INET || entry->ai_addr == nullptr) continue;
    const auto* address = reinterpret_cast<const sockaddr_in*>(entry->ai_addr);
    char text[INET_ADDRSTRLEN] = {};
    if (::inet_ntop(AF_INET, &address->sin_addr, text, sizeof text) == nullptr) continue;
    if (std::find(addresses.begin(), addresses.end(), text) == addresses.end()) addresses.emplace_back(text);
  }
  ::freeaddrinfo(found);
  return addresses;
}

}  // namespace kelvane
