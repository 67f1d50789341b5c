#pragma once

// The version-information lookups the host needs, handed in by the program so
// that the hosting logic runs in tests with a table of its own.

#include <functional>
#include <string>

namespace kelvane {

// The answer for a value the version information does not hold.
inline constexpr const char* UnknownVersionValue = "Unknown";

struct TVersionInfoSource {
  // One string entry ("ProductName", "ServiceName", "DisplayName"), or "Unknown".
  std::function<std::string(const std::string& Key)> GetVersionInfoString;
  // The file version, "4.5" (Short) or "4.5.0.8", or "Unknown".
  std::function<std::string(bool Short)> GetFileVersionText;

  std::string VersionInfoString(const std::string& key) const {
    return GetVersionInfoString ? GetVersionInfoString(key) : UnknownVersionValue;
  }
  std::string FileVersionText(bool isShort) const {
    return GetFileVersionText ? GetFileVersionText(isShort) : UnknownVersionValue;
  }
};

}  // namespace kelvane
