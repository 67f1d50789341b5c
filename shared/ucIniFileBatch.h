#pragma once

// The configuration tool's way of working on its configuration file: one
// batch loads the whole file under a system-wide lock, lets the caller read
// and change the loaded copy, and writes the copy back normalised, also when
// nothing was changed. Another process that runs a batch on the same file
// waits for the lock.

#include <chrono>
#include <functional>
#include <string>
#include <string_view>

#include "ucIniFile.h"

namespace kelvane {

inline constexpr std::chrono::milliseconds IniFileLockTimeout{300000};

// The name of the lock for a file: its full path in lower case, cut before
// ".ini" when it holds one, without ":", "\", "/", "." and "~".
std::string IniFileLockName(std::string_view FileName);

// Runs one batch on FileName:
// 1. A missing file is created empty, with its folders. When it still does
//    not exist: false, "%s does not exist!\r\n%s" (path, system's reason).
// 2. Takes the lock, waiting at most LockTimeout: else false, "%s was busy
//    for too long!" (path).
// 3. Loads the file into a TIniDocument and calls Work with it.
// 4. Writes the document back (owner-only permissions) and releases the lock.
// Should Work throw, the lock is released, the file stays as it was and the
// exception goes on to the caller.
bool RunIniFileBatch(std::string_view FileName, const std::function<void(TIniDocument&)>& Work, std::string& Error,
                     std::chrono::milliseconds LockTimeout = IniFileLockTimeout);

}  // namespace kelvane
