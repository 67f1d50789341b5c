#include "MultiTypeAppDiagLog.h"

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>

#include "ucNamedMutex.h"
#include "ucPaths.h"
#include "ucText.h"

namespace kelvane {
namespace {

// How long a line waits for another writer before it is dropped.
constexpr auto WriterWait = std::chrono::milliseconds(1000);

}  // namespace

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
    if (isNew) out.write(Utf16LEByteOrderMark.data(), Utf16LEByteOrderMark.size());
    const std::string line = Utf8ToUtf16LE(FormatDiagnosticLine(time, Category, Detail, Text));
    out.write(line.data(), static_cast<std::streamsize>(line.size()));
  } catch (...) {
    // The diagnostic log is a convenience; nothing may fail because of it.
  }
}

}  // namespace kelvane
