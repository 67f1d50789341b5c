#pragma once

// Small text helpers of the configuration tool. Case rules are ASCII only.

#include <string>
#include <string_view>

namespace kelvane {

// Position of the first occurrence of `what`, ignoring ASCII case; npos when absent.
size_t FindText(std::string_view text, std::string_view what);
bool ContainsText(std::string_view text, std::string_view what);

// Every occurrence of `from` replaced by `to`, left to right.
std::string ReplaceAll(std::string text, std::string_view from, std::string_view to);
// The same, finding `from` without regard to ASCII case.
std::string ReplaceAllIgnoringCase(std::string text, std::string_view from, std::string_view to);

// A configuration value without a matching pair of enclosing quotation marks
// (" or '), as the service reads it.
std::string UnquotedValue(const std::string& value);

// The letters a to z made upper case; everything else unchanged.
std::string UpperCaseAscii(std::string text);

}  // namespace kelvane
