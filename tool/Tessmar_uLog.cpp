#include "Tessmar_uLog.h"

#include <chrono>
#include <fstream>
#include <random>
#include <thread>

#include "Tessmar_uDateTime.h"
#include "ucPaths.h"
#include "ucText.h"

namespace kelvane {
namespace {

bool TryAppend(const std::string& path, const std::string& bytes) {
  const bool isNew = !FileExists(path);
  std::ofstream file(ResolvePath(path), std::ios::binary | std::ios::app);
  if (!file) return false;
  if (isNew) file.write(Utf16LEByteOrderMark.data(), Utf16LEByteOrderMark.size());
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

void AppendLogLine(const std::string& path, const std::string& message, const LocalTime& now) {
  const std::string bytes = Utf8ToUtf16LE(FormatShortDateLongTime(now) + " " + message + "\r\n");
  static thread_local std::minstd_rand random(std::random_device{}());
  for (int attempt = 0; attempt < 3; ++attempt) {
    if (TryAppend(path, bytes)) return;
    if (attempt < 2) {
      std::this_thread::sleep_for(std::chrono::milliseconds(std::uniform_int_distribution<int>(0, 59)(random)));
    }
  }
}

}  // namespace kelvane
