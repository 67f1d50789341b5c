#include "ucIniFileBatch.h"

#include <algorithm>
#include <filesystem>

#include "ucFileContent.h"
#include "ucNamedMutex.h"
#include "ucPaths.h"

namespace kelvane {
namespace {

// A configuration file is a few kilobytes; this only keeps a runaway file
// from being loaded into memory whole.
constexpr std::size_t MaxIniFileSize = 16 * 1024 * 1024;

std::string FullPath(std::string_view fileName) {
  const std::string resolved = ResolvePath(fileName);
  std::error_code ignored;
  const std::filesystem::path absolute = std::filesystem::absolute(resolved, ignored);
  return absolute.empty() ? resolved : absolute.lexically_normal().string();
}

}  // namespace

std::string IniFileLockName(std::string_view FileName) {
  std::string name = FullPath(FileName);
  std::transform(name.begin(), name.end(), name.begin(),
                 [](char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; });
  if (const size_t ini = name.find(".ini"); ini != std::string::npos) name.resize(ini);
  std::erase_if(name, [](char c) { return c == ':' || c == '\\' || c == '/' || c == '.' || c == '~'; });
  return name;
}

bool RunIniFileBatch(std::string_view FileName, const std::function<void(TIniDocument&)>& Work, std::string& Error,
                     std::chrono::milliseconds LockTimeout) {
  Error.clear();
  const std::string path(FileName);
  if (!FileExists(path)) {
    ForceDirectories(ExtractFilePath(path));
    std::string reason;
    if (!CreateEmptyFile(path, reason) || !FileExists(path)) {
      Error = path + " does not exist!\r\n" + (reason.empty() ? std::string("not a regular file") : reason);
      return false;
    }
  }

  TNamedMutex lock(IniFileLockName(path));
  std::string reason;
  switch (lock.Acquire(LockTimeout, reason)) {
    case TLockWaitResult::Acquired:
      break;
    case TLockWaitResult::TimedOut:
      Error = path + " was busy for too long!";
      return false;
    case TLockWaitResult::Failed:
      Error = path + " could not be locked!\r\n" + reason;
      return false;
  }

  std::string text;
  if (!ReadFileContent(path, MaxIniFileSize, text, reason)) {
    Error = path + " could not be read!\r\n" + reason;
    return false;
  }
  TIniDocument document;
  document.LoadFromText(text);
  Work(document);
  if (!WritePrivateFile(path, document.SaveToText(), reason)) {
    Error = path + " could not be written!\r\n" + reason;
    return false;
  }
  return true;
}

}  // namespace kelvane
