#pragma once

// Whole-file reads and writes of small files, with paths written the way the
// rest of the system writes them (resolved through ResolvePath).

#include <cstddef>
#include <string>
#include <string_view>

namespace kelvane {

// Reads the whole regular file into Content. Fails, with the reason in Error,
// when the file cannot be opened or read, is no regular file, or holds more
// than MaxBytes bytes. Never waits on a pipe or device.
bool ReadFileContent(std::string_view Path, std::size_t MaxBytes, std::string& Content, std::string& Error);

// Replaces the file with Content in one step: the text goes to a new file
// beside it that is then renamed over it, so a crash leaves either the old
// or the new file, never a half-written one. The file is readable and
// writable by its owner only, because it may hold passwords.
bool WritePrivateFile(std::string_view Path, std::string_view Content, std::string& Error);

// Creates an empty file, readable and writable by its owner only, when none
// exists; an existing file is left as it is.
bool CreateEmptyFile(std::string_view Path, std::string& Error);

}  // namespace kelvane
