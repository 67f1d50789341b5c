#include "MultiTypeAppDiagLog.h"

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>

#include "ucNamedMutex.h"
#include "ucPaths.h"

namespace kelvane {
namespace {

// How long a line waits for another writer before it is dropped.
constexpr auto WriterWait = std::chrono::milliseconds(1000);

void AppendUnit(std::string& out, unsigned unit) {
  out += static_cast<char>(unit & 0xFF);
  out += static_cast<char>((unit >> 8) & 0xFF);
}

// The length of the UTF-8 sequence starting at `i` and its code point; 0 when
// the bytes there are no valid sequence.
std::size_t DecodeUtf8(const std::string& text, std::size_t i, unsigned& codePoint) {
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

std::string Utf8ToUtf16LE(const std::string& Text) {
  std::string out;
  for (std::size_t i = 0; i < Text.size();) {
    unsigned codePoint = 0;
    std::size_t length = DecodeUtf8(Text, i, codePoint);
    if (length == 0) {
      codePoint = static_cast<unsigned char>(Text[i]);
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

std::string DiagnosticLogPath(const std::string& ProgramPath, const LocalTime& Day) {
  std::string name = ExtractFileName(ProgramPath);
  const std::size_t dot = name.rfind('.');
  if (dot != std::string::npos && dot > 0) name.erase(dot);
  char date[16];
  std::snprintf(date, sizeof date, "%02d%02d%02d", Day.Year % 100, Day.Month, Day.Day);
  return ExtractFilePath(ProgramPath) + name + ".testing." + date + ".log";
}

std::string FormatDiagnosticLine(const LocalTime& Time, const std::string& Category, const std::string& Detail,
                                 const std::string& Text) {
  char stamp[48];
  std::snprintf(stamp, sizeof stamp, "%04d-%s-%02d %02d:%02d:%02d:%03d", Time.Year,
                EnglishMonthAbbreviation(Time.Month), Time.Day, Time.Hour, Time.Minute, Time.Second,
                Time.Millisecond);
  return std::string(stamp) + "\t(" + Category + ")\t" + Detail + "\t" + Text + "\r\n";
}

void WriteDiagnosticLine(const std::string& ProgramPath, const Clock& Now, const std::string& Category,
                         const std::string& Detail, const std::string& Text) {
  try {
    const LocalTime time = ToLocalTime(Now());
    const std::string path = DiagnosticLogPath(ProgramPath, time);
    TNamedMutex writer(path);
    std::string lockError;
    if (writer.Acquire(WriterWait, lockError) != TLockWaitResult::Acquired) return;
    std::error_code error;
    const bool isNew = !std::filesystem::exists(path, error) || std::filesystem::file_size(path, error) == 0;
    std::ofstream out(path, std::ios::binary | std::ios::app);
    if (!out) return;
    if (isNew) out.write("\xFF\xFE", 2);
    const std::string line = Utf8ToUtf16LE(FormatDiagnosticLine(time, Category, Detail, Text));
    out.write(line.data(), static_cast<std::streamsize>(line.size()));
  } catch (...) {
    // The diagnostic log is a convenience; nothing may fail because of it.
  }
}

}  // namespace kelvane
