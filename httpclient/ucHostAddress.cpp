#include "ucHostAddress.h"

#include <optional>

namespace kelvane {

namespace {

// Only plain decimal digits that fit a TCP port: a larger number must not
// wrap round to some other port.
std::optional<std::uint16_t> ParsePort(std::string_view text) {
  if (text.empty() || text.size() > 5) {
    return std::nullopt;
  }
  unsigned value = 0;
  for (const char c : text) {
    if (c < '0' || c > '9') {
      return std::nullopt;
    }
    value = value * 10 + static_cast<unsigned>(c - '0');
  }
  if (value > 65535) {
    return std::nullopt;
  }
  return static_cast<std::uint16_t>(value);
}

}  // namespace

void THostAddress::SetHostName(std::string_view value) {
  FHostName = std::string(value.substr(0, MaxHostNameLength));
}

void THostAddress::SetAddress(std::string_view value) {
  FAddress = std::string(value.substr(0, MaxAddressLength));
}

void THostAddress::SetValue(std::uint16_t defaultPort, std::string_view value) {
  const std::size_t colon = value.find(':');
  const std::string_view host = value.substr(0, colon);
  std::string portText = colon == std::string_view::npos ? std::string() : std::string(value.substr(colon + 1));
  if (portText.empty()) {
    portText = std::to_string(defaultPort);
  }
  if (FPort == 0) {
    FPort = defaultPort;
  }
  if (const auto port = ParsePort(portText)) {
    FPort = *port;
  }
  FAddress.clear();
  SetHostName(host.empty() ? std::string_view("localhost") : host);
}

std::string THostAddress::GetValue(std::uint16_t defaultPort) const {
  std::string result = FHostName.empty() ? FAddress : FHostName;
  if (FPort != defaultPort) {
    result += ":" + std::to_string(FPort);
  }
  return result;
}

}  // namespace kelvane
