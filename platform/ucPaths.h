#pragma once

// Paths the way the rest of the system writes them: both "\" and "/" separate
// components, and existing file and folder names match without regard to case
// (so "Cert\WSScert.pem" finds "cert/wsscert.pem"). New components are created
// with the spelling given.

#include <chrono>
#include <string>
#include <string_view>

namespace kelvane {

// The separator this platform writes.
inline constexpr char PathDelimiter = '/';

// The folder of the running program file, ending in a separator.
std::string ApplicationFolder();

// Appends a separator unless the text already ends in one ("\" or "/").
std::string IncludeTrailingPathDelimiter(std::string_view path);

// Turns "\" into the platform separator and resolves every component that
// exists on disk, ignoring case; components that do not exist are kept as given.
std::string ResolvePath(std::string_view path);

// True when the path (resolved as above) names an existing regular file.
bool FileExists(std::string_view path);

// True when the path (resolved as above) names an existing folder.
bool DirectoryExists(std::string_view path);

// The last-modified time of a file (resolved as above). False when it cannot
// be read; `error` then holds the system's reason.
bool FileModifiedTime(std::string_view path, std::chrono::system_clock::time_point& modified, std::string& error);

// Creates the folder and every missing parent. True when it exists afterwards.
bool ForceDirectories(std::string_view path);

// The folder part of a path, ending in a separator ("" when there is none).
std::string ExtractFilePath(std::string_view path);

// The last component of a path.
std::string ExtractFileName(std::string_view path);

}  // namespace kelvane
