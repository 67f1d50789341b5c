#pragma once

// The failures the socket component raises. Both carry only their message.

#include <stdexcept>
#include <string>

namespace kelvane {

// A socket that cannot be created, an address that cannot be used, or a
// connection attempt that fails at once.
class ESocketError : public std::runtime_error {
 public:
  explicit ESocketError(const std::string& message) : std::runtime_error(message) {}
};

// A host name that has no address.
class EARPError : public std::runtime_error {
 public:
  explicit EARPError(const std::string& message) : std::runtime_error(message) {}
};

}  // namespace kelvane
