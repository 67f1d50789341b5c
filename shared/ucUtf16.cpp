#include "ucUtf16.h"

#include "ucText.h"

namespace kelvane {
namespace {

void AppendUnit(std::string& out, char32_t unit) {
  out += static_cast<char>(unit & 0xFF);
  out += static_cast<char>((unit >> 8) & 0xFF);
}

}  // namespace

std::string Utf8ToUtf16LE(std::string_view text) {
  std::string out;
  out.reserve(text.size() * 2);
  for (std::size_t i = 0; i < text.size();) {
    char32_t codePoint = 0;
    std::size_t length = DecodeUtf8Sequence(text, i, codePoint);
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
