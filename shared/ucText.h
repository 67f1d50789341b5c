#pragma once

// Text encodings and case folding shared by both programs. Text inside the
// programs is UTF-8; these turn the other forms that reach them (form fields
// of an ISO-8859-1 page, files saved by other editors) into UTF-8, and UTF-8
// into the UTF-16 of the diagnostic logs.

#include <cstddef>
#include <string>
#include <string_view>

namespace kelvane {

// The length of the well-formed UTF-8 sequence starting at text[i], with its
// code point; 0 when the bytes there are no well-formed sequence (overlong
// forms and surrogates included).
std::size_t DecodeUtf8Sequence(std::string_view text, std::size_t i, char32_t& codePoint);

void AppendUtf8(std::string& out, char32_t codePoint);

// Code page 1252 text as UTF-8: what browsers send for a form on an
// ISO-8859-1 page.
std::string Cp1252ToUtf8(std::string_view text);

// Well-formed UTF-8 stays as it is; each malformed part (a byte that starts
// no sequence, or a sequence cut short, overlong, a surrogate or beyond
// U+10FFFF, with the continuation bytes it took) becomes one U+FFFD.
std::string Utf8WithReplacements(std::string_view text);

// True when the whole text is well-formed UTF-8.
bool IsUtf8(std::string_view text);

// Well-formed UTF-8 stays as it is; every other byte is read as a code page
// 1252 character (what Western editors save), so a file written by hand in
// either form reads the same.
std::string AsUtf8(std::string_view text);

// UTF-16 little-endian bytes (without the mark) as UTF-8; a lone surrogate
// becomes U+FFFD.
std::string Utf16LEToUtf8(std::string_view bytes);

// Converts UTF-8 to UTF-16 LE bytes (no byte-order mark). A byte that starts
// no valid UTF-8 sequence is taken as the code point of its value, so 8-bit
// text from elsewhere still comes out readable.
std::string Utf8ToUtf16LE(std::string_view text);

// The byte-order mark a UTF-16 LE file begins with.
inline constexpr std::string_view Utf16LEByteOrderMark{"\xFF\xFE", 2};

// UTF-8 text in lower case, for comparing names without regard to case: every
// Unicode letter with a lower-case form, not only A to Z.
std::string FoldCase(std::string_view text);

}  // namespace kelvane
