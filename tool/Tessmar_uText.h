#pragma once

// Small text helpers of the configuration tool. Case rules are ASCII only
// (ucAsciiText).

#include <string>
#include <string_view>

namespace kelvane {

// Every occurrence of `from` replaced by `to`, left to right.
std::string ReplaceAll(std::string text, std::string_view from, std::string_view to);
// The same, finding `from` without regard to ASCII case.
std::string ReplaceAllIgnoringCase(std::string text, std::string_view from, std::string_view to);

// A configuration value without a matching pair of enclosing quotation marks
// (" or '), as the service reads it.
std::string UnquotedValue(const std::string& value);

}  // namespace kelvane
