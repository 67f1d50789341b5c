#pragma once

#include <string>

namespace kelvane::testing {

// Runs a command line with /bin/sh and answers what it wrote to standard
// output, without the trailing line breaks.
std::string ShellOutput(const std::string& command);

}  // namespace kelvane::testing
