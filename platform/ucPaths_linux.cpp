#include "ucPaths.h"

#include <dirent.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

namespace kelvane {
namespace {

bool IsSeparator(char c) { return c == '/' || c == '\\'; }

// Finds an entry of `folder` whose name equals `name` ignoring ASCII case.
// An exact match wins over a case-insensitive one.
bool FindEntryIgnoringCase(const std::string& folder, const std::string& name, std::string& found) {
  struct stat st {};
  if (::lstat((folder + name).c_str(), &st) == 0) {
    found = name;
    return true;
  }
  DIR* dir = ::opendir(folder.empty() ? "." : folder.c_str());
  if (dir == nullptr) return false;
  bool ok = false;
  while (dirent* entry = ::readdir(dir)) {
    if (::strcasecmp(entry->d_name, name.c_str()) == 0) {
      found = entry->d_name;
      ok = true;
      break;
    }
  }
  ::closedir(dir);
  return ok;
}

bool StatResolved(std::string_view path, struct stat& st) {
  std::string resolved = ResolvePath(path);
  while (resolved.size() > 1 && resolved.back() == '/') resolved.pop_back();
  return !resolved.empty() && ::stat(resolved.c_str(), &st) == 0;
}

}  // namespace

std::string ApplicationFolder() {
  std::vector<char> buffer(4096);
  ssize_t length = ::readlink("/proc/self/exe", buffer.data(), buffer.size() - 1);
  if (length <= 0) return "./";
  return ExtractFilePath(std::string_view(buffer.data(), static_cast<size_t>(length)));
}

std::string IncludeTrailingPathDelimiter(std::string_view path) {
  std::string result(path);
  if (result.empty() || !IsSeparator(result.back())) result += PathDelimiter;
  return result;
}

std::string ResolvePath(std::string_view path) {
  std::string result;
  size_t pos = 0;
  if (!path.empty() && IsSeparator(path.front())) {
    result = "/";
    pos = 1;
  }
  bool exists = true;  // whether `result` so far names something on disk
  while (pos <= path.size()) {
    size_t end = pos;
    while (end < path.size() && !IsSeparator(path[end])) ++end;
    std::string component(path.substr(pos, end - pos));
    if (!component.empty()) {
      std::string found;
      if (exists && component != "." && component != ".." && FindEntryIgnoringCase(result, component, found)) {
        result += found;
      } else {
        if (component != "." && component != "..") exists = false;
        result += component;
      }
      if (end < path.size()) result += '/';
    }
    pos = end + 1;
  }
  return result;
}

bool FileExists(std::string_view path) {
  struct stat st {};
  return StatResolved(path, st) && S_ISREG(st.st_mode);
}

bool DirectoryExists(std::string_view path) {
  struct stat st {};
  return StatResolved(path, st) && S_ISDIR(st.st_mode);
}

bool FileModifiedTime(std::string_view path, std::chrono::system_clock::time_point& modified, std::string& error) {
  struct stat st {};
  if (::stat(ResolvePath(path).c_str(), &st) != 0) {
    error = std::strerror(errno);
    return false;
  }
  modified = std::chrono::system_clock::time_point(std::chrono::duration_cast<std::chrono::system_clock::duration>(
      std::chrono::seconds(st.st_mtim.tv_sec) + std::chrono::nanoseconds(st.st_mtim.tv_nsec)));
  return true;
}

bool ForceDirectories(std::string_view path) {
  std::string resolved = ResolvePath(path);
  if (resolved.empty()) return false;
  for (size_t pos = 1; pos <= resolved.size(); ++pos) {
    if (pos == resolved.size() || resolved[pos] == '/') {
      std::string prefix = resolved.substr(0, pos);
      if (::mkdir(prefix.c_str(), 0755) != 0 && errno != EEXIST) return false;
    }
  }
  return DirectoryExists(resolved);
}

std::string ExtractFilePath(std::string_view path) {
  size_t pos = path.find_last_of("/\\");
  return pos == std::string_view::npos ? std::string() : std::string(path.substr(0, pos + 1));
}

std::string ExtractFileName(std::string_view path) {
  size_t pos = path.find_last_of("/\\");
  return std::string(pos == std::string_view::npos ? path : path.substr(pos + 1));
}

}  // namespace kelvane
