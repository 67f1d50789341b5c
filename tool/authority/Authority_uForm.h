#pragma once

// Reading an application/x-www-form-urlencoded body.

#include <map>
#include <string>
#include <string_view>

namespace kelvane {

// "+" becomes a space and "%XX" the byte it names; a "%" without two
// hexadecimal digits stays as it is.
std::string UrlDecode(std::string_view text);

// The fields of a body "name=value&name=value", decoded. A name that occurs
// twice keeps its first value; a part without "=" is a name with an empty value.
std::map<std::string, std::string> ParseFormBody(std::string_view body);

}  // namespace kelvane
