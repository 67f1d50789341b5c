#pragma once

// UTF-16 little-endian text, the form of the programs' diagnostic logs.

#include <string>
#include <string_view>

namespace kelvane {

// Converts UTF-8 to UTF-16 LE bytes (no byte-order mark). A byte that starts
// no valid UTF-8 sequence is taken as the code point of its value, so 8-bit
// text from elsewhere still comes out readable.
std::string Utf8ToUtf16LE(std::string_view text);

// The byte-order mark a UTF-16 LE file begins with.
inline constexpr std::string_view Utf16LEByteOrderMark{"\xFF\xFE", 2};

}  // namespace kelvane
