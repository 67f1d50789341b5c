#pragma once

// The service program from start to end: the mode comes from the command line
// (/SERVICE, /INSTALL, /UNINSTALL, or none for a one-off start-up check), the
// start-up module runs the start-up series, and the answer is the exit status.

#include <iostream>
#include <ostream>
#include <string>

#include "HostVersionInfo.h"
#include "MainModule.h"
#include "MultiTypeAppCmdLine.h"

namespace kelvane {

struct TProgramSetup {
  TCommandLine Args;        // without the program
  std::string ProgramPath;  // full path of the program file
  TVersionInfoSource VersionInfo;
  TMainModuleFactory MainModuleFactory;
  std::string UnitFolder;  // where units are written
  bool UseSystemctl = true;
  std::ostream* Out = &std::cout;
  std::ostream* Err = &std::cerr;
};

// The environment variable that points installation at another unit folder;
// systemctl is then left alone.
inline constexpr const char* UnitFolderVariable = "KELVANE_UNIT_DIR";

// The setup of the running process: its arguments and program file, the unit
// folder from KELVANE_UNIT_DIR or systemd's, and systemctl only where systemd
// runs and the folder is systemd's own. Version information and the main
// module factory are left to the caller.
TProgramSetup ProcessProgramSetup(int argc, char* argv[]);

// Runs the program; answers the exit status.
int RunVardex(const TProgramSetup& Setup);

// The texts of --help and --version.
std::string UsageText(const std::string& ProgramName);
std::string VersionText(const std::string& ProgramName, const TVersionInfoSource& VersionInfo);

}  // namespace kelvane
