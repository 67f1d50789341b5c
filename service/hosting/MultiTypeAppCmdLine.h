#pragma once

// The program's command-line switches. A switch is an argument that begins
// with "/", "-" or "--" followed by its word, compared without regard to case:
// /install, -INSTALL and --install are the same switch. Valued switches
// continue with ":" or "=" and the value (/ServiceName=Main, -servicename:Main).

#include <string>
#include <vector>

namespace kelvane {

using TCommandLine = std::vector<std::string>;  // the arguments, without the program

// The argument's word after its "/", "-" or "--"; false when it is no switch.
bool SwitchWord(const std::string& Argument, std::string& Word);

// True when the argument is the switch `Word` (given without prefix), exactly.
bool IsSwitch(const std::string& Argument, const std::string& Word);

// True when some argument is the switch. `Switch` carries its prefix ("/DEBUG").
bool HaveCommandLineSwitch(const TCommandLine& Args, const std::string& Switch);

// Looks for the first argument that is the switch `Name` alone or followed by
// ":" or "=" and a value; Value is what follows the separator (empty for the
// bare switch). Answers whether one was found.
bool CommandLineSwitchValue(const TCommandLine& Args, const std::string& Name, std::string& Value);

// The arguments the registered service runs with: "/SERVICE" first, then every
// argument in order except the mode switches SERVICE, INSTALL, UNINSTALL and
// SILENT.
std::vector<std::string> BuildServiceArguments(const TCommandLine& Args);

// The same arguments as one line, joined by single spaces, unquoted.
std::string BuildServiceCommandLine(const TCommandLine& Args);

}  // namespace kelvane
