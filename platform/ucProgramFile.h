#pragma once

#include <string>

namespace kelvane {

// The full path of the running program file, as spelled on disk (links
// resolved).
std::string ProgramFilePath();

}  // namespace kelvane
