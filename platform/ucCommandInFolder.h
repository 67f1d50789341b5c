#pragma once

// A command line that runs another one with a given working folder, for
// runners that start programs in the caller's own folder.

#include <string>

namespace kelvane {

// The command line that runs `commandLine` in `folder`; `commandLine` itself
// when `folder` is empty.
std::string CommandLineInFolder(const std::string& folder, const std::string& commandLine);

}  // namespace kelvane
