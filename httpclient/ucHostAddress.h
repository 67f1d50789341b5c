#pragma once

// Where a connection goes: a host name or a dotted IPv4 address, and a port.
// The host name field holds at most 32 characters; longer names are cut.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace kelvane {

class THostAddress {
 public:
  static constexpr std::size_t MaxHostNameLength = 32;
  static constexpr std::size_t MaxAddressLength = 64;

  // The name to resolve; keeps only the first 32 characters.
  const std::string& HostName() const { return FHostName; }
  void SetHostName(std::string_view value);

  // The same 32-character field under its second name.
  const std::string& HostNameShort() const { return FHostName; }
  void SetHostNameShort(std::string_view value) { SetHostName(value); }

  // Dotted IPv4 address, used only when HostName is empty ("0.0.0.0" at
  // creation); keeps only the first 64 characters.
  const std::string& Address() const { return FAddress; }
  void SetAddress(std::string_view value);

  std::uint16_t Port() const { return FPort; }
  void SetPort(std::uint16_t value) { FPort = value; }

  // Takes "host" or "host:port". An empty port means defaultPort; a port
  // that is not a decimal number from 0 to 65535 keeps the current port (or
  // defaultPort while the port is still 0). An empty host means "localhost".
  // The address is cleared.
  void SetValue(std::uint16_t defaultPort, std::string_view value);

  // The host name (or the address when there is none), with ":" and the port
  // when the port is not defaultPort.
  std::string GetValue(std::uint16_t defaultPort) const;

 private:
  std::string FHostName;
  std::string FAddress = "0.0.0.0";
  std::uint16_t FPort = 0;
};

// A host address that is used only when switched on.
class TProxyHostAddress : public THostAddress {
 public:
  bool UseProxy() const { return FUseProxy; }
  void SetUseProxy(bool value) { FUseProxy = value; }

 private:
  bool FUseProxy = false;
};

}  // namespace kelvane
