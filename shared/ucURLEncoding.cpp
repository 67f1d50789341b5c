#include "ucURLEncoding.h"

#include "ucAsciiText.h"

namespace kelvane {
namespace {

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// RFC 3986's unreserved characters; a test of ASCII alone, whatever the locale.
bool IsUnreserved(char c) {
  return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '-' || c == '.' ||
         c == '_' || c == '~';
}

}  // namespace

std::string EncodeURLComponent(std::string_view text) {
  static constexpr char Hex[] = "0123456789ABCDEF";
  std::string encoded;
  encoded.reserve(text.size());
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (IsUnreserved(c)) {
      encoded += c;
    } else {
      encoded += '%';
      encoded += Hex[byte >> 4];
      encoded += Hex[byte & 15];
    }
  }
  return encoded;
}

std::string DecodeURLComponent(std::string_view text, bool plusIsBlank) {
  std::string decoded;
  decoded.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (c == '%' && i + 2 < text.size()) {
      const int high = HexValue(text[i + 1]);
      const int low = HexValue(text[i + 2]);
      if (high >= 0 && low >= 0) {
        decoded.push_back(static_cast<char>(high * 16 + low));
        i += 2;
        continue;
      }
    }
    decoded.push_back(plusIsBlank && c == '+' ? ' ' : c);
  }
  return decoded;
}

void ParseURLEncodedFields(std::string_view text, TFormFields& fields) {
  while (!text.empty()) {
    const std::size_t end = text.find('&');
    const std::string_view segment = text.substr(0, end);
    text = end == std::string_view::npos ? std::string_view() : text.substr(end + 1);
    if (segment.empty()) continue;
    const std::size_t equals = segment.find('=');
    if (equals == std::string_view::npos) {
      fields.emplace_back(DecodeURLComponent(segment, true), std::string());
    } else {
      fields.emplace_back(DecodeURLComponent(segment.substr(0, equals), true),
                          DecodeURLComponent(segment.substr(equals + 1), true));
    }
  }
}

std::string FirstFieldValue(const TFormFields& fields, std::string_view name) {
  for (const auto& [fieldName, value] : fields) {
    if (EqualsIgnoringAsciiCase(fieldName, name)) return value;
  }
  return {};
}

}  // namespace kelvane
