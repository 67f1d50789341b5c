#include "ucUtf16.h"

namespace kelvane {
namespace {

void AppendUnit(std::string& out, unsigned unit) {
  out += static_cast<char>(unit & 0xFF);
  out += static_cast<char>((unit >> 8) & 0xFF);
}

// The length of the UTF-8 sequence starting at `i` and its code point; 0 when
// the bytes there are no valid sequence.
std::size_t DecodeUtf8(std::string_view text, std::size_t i, unsigned& codePoint) {
  const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(text[k]); };
  const unsigned lead = byte(i);
  std::size_t length = 0;
  unsigned minimum = 0;
  if (lead < 0x80) {
    codePoint = lead;
    return 1;
  } else if ((lead & 0xE0) == 0xC0) {
    length = 2, codePoint = lead & 0x1F, minimum = 0x80;
  } else if ((lead & 0xF0) == 0xE0) {
    length = 3, codePoint = lead & 0x0F, minimum = 0x800;
  } else if ((lead & 0xF8) == 0xF0) {
    length = 4, codePoint = lead & 0x07, minimum = 0x10000;
  } else {
    return 0;
  }
  if (i + length > text.size()) return 0;
  for (std::size_t k = 1; k < length; ++k) {
    if ((byte(i + k) & 0xC0) != 0x80) return 0;
    codePoint = (codePoint << 6) | (byte(i + k) & 0x3F);
  }
  if (codePoint < minimum || codePoint > 0x10FFFF || (codePoint >= 0xD800 && codePoint <= 0xDFFF)) return 0;
  return length;
}

}  // namespace

std::string Utf8ToUtf16LE(std::string_view text) {
  std::string out;
  out.reserve(text.size() * 2);
  for (std::size_t i = 0; i < text.size();) {
    unsigned codePoint = 0;
    std::size_t length = DecodeUtf8(text, i, codePoint);
    if (length == 0) {
      codePoint = static_cast<unsigned char>(text[i]);
      length = 1;
    }
    if (codePoint >= 0x10000) {
      codePoint -= 0x10000;
      AppendUnit(out, 0xD800 + (codePoint >> 10));
      AppendUnit(out, 0xDC00 + (codePoint & 0x3FF));
    } else {
      AppendUnit(out, codePoint);
    }
    i += length;
  }
  return out;
}

}  // namespace kelvane
