#pragma once

// Case and blank rules for the ASCII parts of text both programs read:
// header fields, file names, configuration keys, protocol words. Only A to Z
// change case here, whatever the locale; for names a person types, which may
// hold any letter, ucText's FoldCase is the one to use.

#include <cstddef>
#include <string>
#include <string_view>

namespace kelvane {

char LowerAscii(char c);
std::string LowerCaseAscii(std::string_view text);
std::string UpperCaseAscii(std::string_view text);

bool EqualsIgnoringAsciiCase(std::string_view a, std::string_view b);
bool StartsWithIgnoringAsciiCase(std::string_view text, std::string_view prefix);
// Byte order after lower-casing A to Z: a sort that ignores case.
bool LessIgnoringAsciiCase(std::string_view a, std::string_view b);

// Position of the first occurrence of `what` ignoring case; npos when absent,
// 0 for an empty `what`.
std::size_t FindIgnoringAsciiCase(std::string_view text, std::string_view what);
bool ContainsIgnoringAsciiCase(std::string_view text, std::string_view what);

// The text without the blanks (space, tab, line breaks, vertical tab, form
// feed) at its two ends.
std::string_view TrimBlanks(std::string_view text);

}  // namespace kelvane
