#include "ucText.h"

#include <array>
#include <clocale>
#include <cwctype>

#include <locale.h>

namespace kelvane {
namespace {

// Code page 1252's characters for the bytes 0x80 to 0x9F; the five bytes it
// leaves undefined are taken as the control characters of the same value.
constexpr std::array<char16_t, 32> Cp1252High = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0x008D, 0x017D, 0x008F, 0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178};

char32_t Cp1252ToCodePoint(unsigned char byte) {
  return byte >= 0x80 && byte <= 0x9F ? Cp1252High[byte - 0x80] : byte;
}

// The C.UTF-8 locale knows the case of every Unicode letter, whatever the
// process's own locale is; without it only ASCII letters are folded.
locale_t CaseLocale() {
  static const locale_t locale = ::newlocale(LC_CTYPE_MASK, "C.UTF-8", static_cast<locale_t>(0));
  return locale;
}

char32_t LowerCase(char32_t codePoint) {
  if (codePoint < 0x80) return codePoint >= 'A' && codePoint <= 'Z' ? codePoint - 'A' + 'a' : codePoint;
  const locale_t locale = CaseLocale();
  if (locale == static_cast<locale_t>(0)) return codePoint;
  return static_cast<char32_t>(::towlower_l(static_cast<wint_t>(codePoint), locale));
}

}  // namespace

std::size_t DecodeUtf8Sequence(std::string_view text, std::size_t i, char32_t& codePoint) {
  const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(text[k]); };
  const unsigned lead = byte(i);
  std::size_t length = 0;
  char32_t minimum = 0;
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

void AppendUtf8(std::string& out, char32_t codePoint) {
  const auto put = [&](char32_t bits) { out += static_cast<char>(bits); };
  if (codePoint < 0x80) {
    put(codePoint);
  } else if (codePoint < 0x800) {
    put(0xC0 | (codePoint >> 6));
    put(0x80 | (codePoint & 0x3F));
  } else if (codePoint < 0x10000) {
    put(0xE0 | (codePoint >> 12));
    put(0x80 | ((codePoint >> 6) & 0x3F));
    put(0x80 | (codePoint & 0x3F));
  } else {
    put(0xF0 | (codePoint >> 18));
    put(0x80 | ((codePoint >> 12) & 0x3F));
    put(0x80 | ((codePoint >> 6) & 0x3F));
    put(0x80 | (codePoint & 0x3F));
  }
}

std::string Cp1252ToUtf8(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (char c : text) AppendUtf8(out, Cp1252ToCodePoint(static_cast<unsigned char>(c)));
  return out;
}

namespace {

// Walks the text: onCodePoint(codePoint, sequence) for each well-formed UTF-8
// sequence, onStrayByte(byte) for each byte that starts none. Either may
// return false to stop the walk; the result says whether it ran to the end.
template <class TOnCodePoint, class TOnStrayByte>
bool ForEachUtf8(std::string_view text, TOnCodePoint onCodePoint, TOnStrayByte onStrayByte) {
  for (std::size_t i = 0; i < text.size();) {
    char32_t codePoint = 0;
    const std::size_t length = DecodeUtf8Sequence(text, i, codePoint);
    const bool goOn = length == 0 ? onStrayByte(text[i]) : onCodePoint(codePoint, text.substr(i, length));
    if (!goOn) return false;
    i += length == 0 ? 1 : length;
  }
  return true;
}

}  // namespace

bool IsUtf8(std::string_view text) {
  return ForEachUtf8(text, [](char32_t, std::string_view) { return true; }, [](char) { return false; });
}

std::string AsUtf8(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  ForEachUtf8(
      text,
      [&](char32_t, std::string_view sequence) {
        out.append(sequence);
        return true;
      },
      [&](char byte) {
        AppendUtf8(out, Cp1252ToCodePoint(static_cast<unsigned char>(byte)));
        return true;
      });
  return out;
}

namespace {

// How many bytes from text[i] on form one malformed part: the lead byte and
// the continuation bytes a valid lead of its kind would have taken.
std::size_t MalformedUtf8Length(std::string_view text, std::size_t i) {
  const auto lead = static_cast<unsigned char>(text[i]);
  const std::size_t length = lead >= 0xC2 && lead <= 0xDF ? 2 : lead >= 0xE0 && lead <= 0xEF ? 3
                                                              : lead >= 0xF0 && lead <= 0xF4 ? 4
                                                                                             : 1;
  std::size_t taken = 1;
  while (taken < length && i + taken < text.size() && (static_cast<unsigned char>(text[i + taken]) & 0xC0) == 0x80) {
    ++taken;
  }
  return taken;
}

void AppendUtf16Unit(std::string& out, char32_t unit) {
  out += static_cast<char>(unit & 0xFF);
  out += static_cast<char>((unit >> 8) & 0xFF);
}

}  // namespace

std::string Utf8WithReplacements(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size();) {
    char32_t codePoint = 0;
    const std::size_t length = DecodeUtf8Sequence(text, i, codePoint);
    if (length == 0) {
      AppendUtf8(out, 0xFFFD);
      i += MalformedUtf8Length(text, i);
    } else {
      out.append(text.substr(i, length));
      i += length;
    }
  }
  return out;
}

std::string Utf8ToUtf16LE(std::string_view text) {
  std::string out;
  out.reserve(text.size() * 2);
  ForEachUtf8(
      text,
      [&](char32_t codePoint, std::string_view) {
        if (codePoint >= 0x10000) {
          AppendUtf16Unit(out, 0xD800 + ((codePoint - 0x10000) >> 10));
          AppendUtf16Unit(out, 0xDC00 + ((codePoint - 0x10000) & 0x3FF));
        } else {
          AppendUtf16Unit(out, codePoint);
        }
        return true;
      },
      [&](char byte) {
        AppendUtf16Unit(out, static_cast<unsigned char>(byte));
        return true;
      });
  return out;
}

std::string Utf16LEToUtf8(std::string_view bytes) {
  std::string out;
  out.reserve(bytes.size());
  const auto unit = [&](std::size_t k) {
    return static_cast<char32_t>(static_cast<unsigned char>(bytes[k]) | static_cast<unsigned char>(bytes[k + 1]) << 8);
  };
  for (std::size_t i = 0; i + 1 < bytes.size(); i += 2) {
    char32_t codePoint = unit(i);
    if (codePoint >= 0xD800 && codePoint <= 0xDBFF && i + 3 < bytes.size() && unit(i + 2) >= 0xDC00 &&
        unit(i + 2) <= 0xDFFF) {
      codePoint = 0x10000 + ((codePoint - 0xD800) << 10) + (unit(i + 2) - 0xDC00);
      i += 2;
    } else if (codePoint >= 0xD800 && codePoint <= 0xDFFF) {
      codePoint = 0xFFFD;
    }
    AppendUtf8(out, codePoint);
  }
  return out;
}

std::string FoldCase(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  ForEachUtf8(
      text,
      [&](char32_t codePoint, std::string_view) {
        AppendUtf8(out, LowerCase(codePoint));
        return true;
      },
      [&](char byte) {
        // Not UTF-8: the byte stays as it is.
        out += byte;
        return true;
      });
  return out;
}

}  // namespace kelvane
