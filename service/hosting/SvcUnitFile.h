#pragma once

// The systemd unit that registers the service: what it runs, and the
// sandbox it runs in.

#include <string>
#include <vector>

#include "SvcService.h"

namespace kelvane {

struct TServiceRegistration {
  std::string Name;
  std::string DisplayName;
  TStartType StartType = TStartType::stAuto;
  std::string ProgramPath;             // full path of the service program
  std::vector<std::string> Arguments;  // what follows the program on its command line
};

// One command-line word as systemd reads it back unchanged: "%" and "$" are
// doubled, and a word with blanks, quotes, backslashes or control characters
// is double-quoted with C escapes. Plain words stay as they are.
std::string QuoteUnitWord(const std::string& Word);

// The ExecStart= value: the quoted program path, a space, then the arguments.
std::string FormatExecStart(const std::string& ProgramPath, const std::vector<std::string>& Arguments);

// The whole unit file.
std::string FormatServiceUnit(const TServiceRegistration& Registration);

}  // namespace kelvane
