#pragma once

// Text encodings and case folding shared by both programs. Text inside the
// programs is UTF-8; these turn the other forms that reach them (form fields
// of an ISO-8859-1 page, files saved by other editors) into UTF-8.

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

// True when the whole text is well-formed UTF-8.
bool IsUtf8(std::string_view text);

// Well-formed UTF-8 stays as it is; every other byte is read as a code page
// 1252 character (what Western editors save), so a file written by hand in
// either form reads the same.
std::string AsUtf8(std::string_view text);

// UTF-16 little-endian bytes (without the mark) as UTF-8; a lone surrogate
// becomes U+FFFD.
std::string Utf16LEToUtf8(std::string_view bytes);

// UTF-8 text in lower case, for comparing names without regard to case: every
// Unicode letter with a lower-case form, not only A to Z.
std::string FoldCase(std::string_view text);

}  // namespace kelvane
