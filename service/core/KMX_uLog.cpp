#include "KMX_uLog.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <system_error>
#include <vector>

#include "ucAsciiText.h"
#include "ucPaths.h"
#include "ucText.h"

namespace kelvane {
namespace {

constexpr std::string_view HistoryPrefix = "History_";
constexpr std::string_view LogExtension = ".log";

bool IsSeparator(char c) { return c == '/' || c == '\\'; }

bool IsHistoryFileName(std::string_view name) {
  return name.size() >= HistoryPrefix.size() + LogExtension.size() &&
         EqualsIgnoringAsciiCase(name.substr(0, HistoryPrefix.size()), HistoryPrefix) &&
         EqualsIgnoringAsciiCase(name.substr(name.size() - LogExtension.size()), LogExtension);
}

// The drive part of a Windows-style path: "C:" of "C:\Program Files\...",
// "\\server\share" of a network path, and nothing for a Linux path.
std::string ExtractFileDrive(std::string_view path) {
  if (path.size() >= 2 && path[1] == ':') return std::string(path.substr(0, 2));
  if (path.size() >= 2 && IsSeparator(path[0]) && IsSeparator(path[1])) {
    size_t serverEnd = 2;
    while (serverEnd < path.size() && !IsSeparator(path[serverEnd])) ++serverEnd;
    if (serverEnd >= path.size()) return std::string();
    size_t shareEnd = serverEnd + 1;
    while (shareEnd < path.size() && !IsSeparator(path[shareEnd])) ++shareEnd;
    return std::string(path.substr(0, shareEnd));
  }
  return std::string();
}

std::string SystemErrorText(int error) { return std::error_code(error, std::generic_category()).message(); }

// Reads a whole file; on failure hands back a message naming the file.
bool ReadWholeFile(const std::string& path, std::string& content, std::string& error) {
  std::FILE* file = std::fopen(path.c_str(), "rb");
  if (file == nullptr) {
    error = "Cannot open file \"" + path + "\". " + SystemErrorText(errno);
    return false;
  }
  content.clear();
  char buffer[16384];
  size_t count = 0;
  while ((count = std::fread(buffer, 1, sizeof buffer, file)) > 0) content.append(buffer, count);
  const bool failed = std::ferror(file) != 0;
  const int readError = errno;
  std::fclose(file);
  if (failed) {
    error = "Cannot read file \"" + path + "\". " + SystemErrorText(readError);
    return false;
  }
  return true;
}

// The lines of a text file, whatever line ends it uses.
std::vector<std::string_view> SplitLines(std::string_view text) {
  std::vector<std::string_view> lines;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find_first_of("\r\n", start);
    if (end == std::string_view::npos) {
      lines.push_back(text.substr(start));
      break;
    }
    lines.push_back(text.substr(start, end - start));
    start = end + (text[end] == '\r' && end + 1 < text.size() && text[end + 1] == '\n' ? 2 : 1);
  }
  return lines;
}

// A raw line break inside a message would start a new line that looks like a
// log line of its own, so CR and LF are written as escapes.
std::string KeepOnOneLine(std::string_view text) {
  std::string result;
  result.reserve(text.size());
  for (char c : text) {
    if (c == '\r') {
      result += "\\r";
    } else if (c == '\n') {
      result += "\\n";
    } else {
      result += c;
    }
  }
  return result;
}

}  // namespace

std::string EscapeControlCharacters(std::string_view text) {
  static const char HexDigits[] = "0123456789ABCDEF";
  std::string result;
  result.reserve(text.size());
  for (char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (c == '\r') {
      result += "\\r";
    } else if (c == '\n') {
      result += "\\n";
    } else if (c == '\t') {
      result += "\\t";
    } else if (byte < 0x20 || byte == 0x7F) {
      result += "\\x";
      result += HexDigits[byte >> 4];
      result += HexDigits[byte & 0x0F];
    } else {
      result += c;
    }
  }
  return result;
}

TLog::TLog(std::string_view applicationFolderPath, Clock clock)
    : FApplicationFolderPath(IncludeTrailingPathDelimiter(applicationFolderPath)), FClock(std::move(clock)) {}

void TLog::UpdatePath(std::string_view logFolderPath) {
  std::string folder;
  if (logFolderPath.find(':') != std::string_view::npos || (!logFolderPath.empty() && logFolderPath[0] == '/')) {
    folder = logFolderPath;
  } else if (!logFolderPath.empty() && logFolderPath[0] == '\\') {
    folder = ExtractFileDrive(FApplicationFolderPath) + std::string(logFolderPath);
  } else if (!logFolderPath.empty()) {
    folder = FApplicationFolderPath + std::string(logFolderPath);
  }

  std::lock_guard<std::mutex> guard(FLock);
  if (!folder.empty()) {
    FLogFolderPath = IncludeTrailingPathDelimiter(folder);
  } else if (FLogFolderPath.empty()) {
    // Without any setting the logs still have to go somewhere the
    // administrator will look: the installation's own log folder.
    FLogFolderPath = FApplicationFolderPath + "Logs" + PathDelimiter;
  }
}

std::string TLog::LogFolderPath() const {
  std::lock_guard<std::mutex> guard(FLock);
  return FLogFolderPath;
}

void TLog::WriteHistory(std::string_view userName, std::string_view remoteIp, std::string_view action) {
  std::string text;
  text.reserve(userName.size() + remoteIp.size() + action.size() + 8);
  text.append(userName).append("\tat ip ").append(remoteIp).append("\t").append(action);
  WriteLine(TLogKind::History, text);
}

void TLog::WriteError(std::string_view error) { WriteLine(TLogKind::Error, error); }

void TLog::SetErrorObserver(TErrorObserver observer) {
  std::lock_guard<std::mutex> guard(FLock);
  FErrorObserver = std::move(observer);
}

std::string TLog::GetLogFolder(TLogKind kind) const {
  return FLogFolderPath + (kind == TLogKind::History ? "History" : "Errors") + PathDelimiter;
}

std::string TLog::GetLogFileName(TLogKind kind, const LocalTime& now) {
  return (kind == TLogKind::History ? "History_" : "Errors_") + FormatFileDate(now) + ".log";
}

void TLog::WriteLine(TLogKind kind, std::string_view text) {
  std::lock_guard<std::mutex> guard(FLock);
  if (kind == TLogKind::Error && FErrorObserver) FErrorObserver(text);
  // Before the first UpdatePath there is no folder; writing relative to
  // whatever the working folder happens to be would scatter files around.
  if (FLogFolderPath.empty()) return;

  // The time is taken under the lock so that lines stand in time order and the
  // date of the file name always matches the line's own time stamp.
  const LocalTime now = ToLocalTime(FClock());
  const std::string folder = GetLogFolder(kind);
  const std::string path = ResolvePath(folder + GetLogFileName(kind, now));
  if (!FileExists(path) && !ForceDirectories(folder)) return;

  std::string line = FormatTimeStamp(now);
  line += '\t';
  line += KeepOnOneLine(text);
  line += "\r\n";

  std::FILE* file = std::fopen(path.c_str(), "ab");
  if (file == nullptr) return;
  // Unbuffered, so that the whole line goes out in one write.
  std::setvbuf(file, nullptr, _IONBF, 0);
  std::fseek(file, 0, SEEK_END);
  const long lineStart = std::ftell(file);
  if (kind == TLogKind::Error && lineStart >= 0) {
    // A flood of failures must not fill the disk. The one line saying so is
    // written when the limit is reached; a file over the limit already (a
    // restart) gets nothing more.
    const auto size = static_cast<std::size_t>(lineStart);
    if (path == FFullErrorLog || size >= FErrorLogLimit) {
      FFullErrorLog = path;
      std::fclose(file);
      return;
    }
    if (size + line.size() > FErrorLogLimit) {
      FFullErrorLog = path;
      line = FormatTimeStamp(now) + "\tThe error log reached its limit of " + std::to_string(FErrorLogLimit) +
             " bytes for today; further errors of today are not logged.\r\n";
    }
  }
  const bool written = std::fwrite(line.data(), 1, line.size(), file) == line.size();
  std::fclose(file);
  // A full disk can take the first part of a line and refuse the rest. The
  // part is cut off again: otherwise the next line, once there is room,
  // would continue the broken one.
  if (!written && lineStart >= 0) {
    std::error_code ignored;
    std::filesystem::resize_file(path, static_cast<std::uintmax_t>(lineStart), ignored);
  }
}

void TLog::SetErrorLogLimit(std::size_t bytes) {
  std::lock_guard<std::mutex> guard(FLock);
  FErrorLogLimit = bytes;
}

std::string TLog::GetSecurityNote(std::string_view userName) {
  std::string result = "It was the first usage by " + std::string(userName);

  std::string folder;
  {
    std::lock_guard<std::mutex> guard(FLock);
    if (FLogFolderPath.empty()) return result;
    folder = ResolvePath(GetLogFolder(TLogKind::History));
  }

  std::vector<std::string> names;
  std::error_code error;
  std::filesystem::directory_iterator entries(folder, error);
  // No history folder yet simply means nobody has acted so far.
  if (error == std::errc::no_such_file_or_directory) return result;
  for (; !error && entries != std::filesystem::directory_iterator(); entries.increment(error)) {
    std::string name = entries->path().filename().string();
    if (IsHistoryFileName(name)) names.push_back(std::move(name));
  }
  if (error) {
    WriteError("Cannot read folder \"" + folder + "\". " + error.message());
    return result;
  }

  // The names carry the date as yyyy-mm-dd, so name order is time order.
  std::sort(names.begin(), names.end(),
            [](const std::string& a, const std::string& b) { return LessIgnoringAsciiCase(a, b); });
  for (auto name = names.rbegin(); name != names.rend(); ++name) {
    const std::string timeStamp = FindLastUsage(folder + *name, userName);
    if (!timeStamp.empty()) return "Prior usage was on " + timeStamp + ".";
  }
  return result;
}

std::string TLog::FindLastUsage(const std::string& fileName, std::string_view userName) {
  std::string content;
  std::string error;
  if (!ReadWholeFile(fileName, content, error)) {
    WriteError(error);
    return std::string();
  }
  // The tabs on both sides keep "admin" from matching "sysadmin" or "admin2".
  // Names match without regard to case, as logins do; the time stamp is the
  // line's first field.
  const std::string key = "\t" + FoldCase(userName) + "\t";
  const std::vector<std::string_view> lines = SplitLines(content);
  for (auto line = lines.rbegin(); line != lines.rend(); ++line) {
    if (FoldCase(*line).find(key) != std::string::npos) return std::string(line->substr(0, line->find('\t')));
  }
  return std::string();
}

}  // namespace kelvane
