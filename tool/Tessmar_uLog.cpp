#include "Tessmar_uLog.h"

#include <chrono>
#include <fstream>
#include <random>
#include <thread>

#include "Tessmar_uDateTime.h"
#include "ucPaths.h"

namespace kelvane {
namespace {

void AppendUnit(std::string& out, unsigned unit) {
  out += static_cast<char>(unit & 0xFF);
  out += static_cast<char>((unit >> 8) & 0xFF);
}

// Length of the UTF-8 sequence starting at `i` and its code point, or 0 when
// the bytes there are not a valid sequence.
size_t DecodeUtf8(const std::string& text, size_t i, unsigned& codePoint) {
  const auto byte = [&](size_t k) { return static_cast<unsigned char>(text[k]); };
  const unsigned lead = byte(i);
  size_t length = 0;
  if (lead < 0x80) {
    codePoint = lead;
    return 1;
  }
  if ((lead & 0xE0) == 0xC0) {
    length = 2;
    codePoint = lead & 0x1F;
  } else if ((lead & 0xF0) == 0xE0) {
    length = 3;
    codePoint = lead & 0x0F;
  } else if ((lead & 0xF8) == 0xF0) {
    length = 4;
    codePoint = lead & 0x07;
  } else {
    return 0;
  }
  if (i + length > text.size()) return 0;
  for (size_t k = 1; k < length; ++k) {
    if ((byte(i + k) & 0xC0) != 0x80) return 0;
    codePoint = (codePoint << 6) | (byte(i + k) & 0x3F);
  }
  static const unsigned smallest[] = {0, 0, 0x80, 0x800, 0x10000};
  if (codePoint < smallest[length] || codePoint > 0x10FFFF || (codePoint >= 0xD800 && codePoint <= 0xDFFF)) return 0;
  return length;
}

bool TryAppend(const std::string& path, const std::string& bytes) {
  const bool isNew = !FileExists(path);
  std::ofstream file(ResolvePath(path), std::ios::binary | std::ios::app);
  if (!file) return false;
  if (isNew) file.write("\xFF\xFE", 2);
  file.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  file.flush();
  return static_cast<bool>(file);
}

}  // namespace

std::string LogFileName(const std::string& programPath, const std::string& suffix) {
  const std::string folder = ExtractFilePath(programPath);
  std::string name = programPath.substr(folder.size());
  const size_t dot = name.rfind('.');
  if (dot != std::string::npos && dot > 0) name.erase(dot);
  return folder + name + suffix;
}

std::string Utf16LEFromUtf8(const std::string& text) {
  std::string out;
  out.reserve(text.size() * 2);
  size_t i = 0;
  while (i < text.size()) {
    unsigned codePoint = 0;
    size_t length = DecodeUtf8(text, i, codePoint);
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

void AppendLogLine(const std::string& path, const std::string& message, const LocalTime& now) {
  const std::string bytes = Utf16LEFromUtf8(FormatShortDateLongTime(now) + " " + message + "\r\n");
  static thread_local std::minstd_rand random(std::random_device{}());
  for (int attempt = 0; attempt < 3; ++attempt) {
    if (TryAppend(path, bytes)) return;
    if (attempt < 2) {
      std::this_thread::sleep_for(std::chrono::milliseconds(std::uniform_int_distribution<int>(0, 59)(random)));
    }
  }
}

}  // namespace kelvane
