#include "VardexProgram.h"

#include <cstdlib>
#include <exception>
#include <memory>

#include "CurrentException.h"
#include "KMX_dmProjectManager.h"
#include "MultiTypeApp.h"
#include "MultiTypeAppSvc.h"
#include "SvcControlManager.h"
#include "ucEventLoop.h"
#include "ucPaths.h"
#include "ucProgramFile.h"
#include "ucSystemd.h"

namespace kelvane {
namespace {

bool WantsHelp(const TCommandLine& Args) {
  for (const std::string& argument : Args) {
    if (argument == "-h" || argument == "/?" || IsSwitch(argument, "help")) return true;
  }
  return false;
}

bool WantsVersion(const TCommandLine& Args) {
  for (const std::string& argument : Args) {
    if (IsSwitch(argument, "version")) return true;
  }
  return false;
}

// Runs work on the main thread's loop and returns when it is done, so that
// whatever the work posts to the main thread, or waits for from it, is served
// meanwhile. Its exception comes out here.
void RunInLoop(TEventLoop& loop, const std::function<void()>& work) {
  std::exception_ptr failure;
  loop.Post([&] {
    try {
      work();
    } catch (...) {
      failure = std::current_exception();
    }
    loop.Quit();
  });
  loop.Run();
  if (failure) std::rethrow_exception(failure);
}

// What a desktop run tells the person who started it.
int ReportDesktopRun(TDataModuleProjMgr& startup, const TProgramSetup& setup, const std::string& productName) {
  TProjectManager& manager = startup.VDXProjMgr();
  if (manager.Continue()) {
    *setup.Out << productName << " started successfully and stopped again (start-up check only; "
               << "the service runs with /SERVICE)." << std::endl;
    return 0;
  }
  if (!manager.ErrorMessage().empty()) *setup.Err << manager.ErrorMessage() << std::endl;
  if (IMainModule* module = startup.dmMain()) {
    // The lines the start wrote say why; the log's path says where to look later.
    *setup.Err << module->StartReport();
    const std::string log = module->ErrorLogPath();
    *setup.Err << productName << " could not start" << (log.empty() ? "; see its error log." : "; see " + log)
               << std::endl;
  }
  return 1;
}

// A service that did not start says why on its error output, which the
// journal keeps.
void ReportServiceStartFailure(TDataModuleProjMgr& startup, const TProgramSetup& setup) {
  const std::string& message = startup.VDXProjMgr().ErrorMessage();
  std::string log;
  if (IMainModule* module = startup.dmMain()) {
    *setup.Err << module->StartReport();
    log = module->ErrorLogPath();
  }
  *setup.Err << "Start-up failed" << (message.empty() ? std::string() : ": " + message)
             << (log.empty() ? std::string() : " (see " + log + ")") << std::endl;
}

}  // namespace

TProgramSetup ProcessProgramSetup(int argc, char* argv[]) {
  TProgramSetup setup;
  for (int i = 1; i < argc; ++i) setup.Args.emplace_back(argv[i]);
  setup.ProgramPath = ProgramFilePath();
  if (setup.ProgramPath.empty() && argc > 0) setup.ProgramPath = argv[0];
  const char* unitFolder = std::getenv(UnitFolderVariable);
  if (unitFolder != nullptr && *unitFolder != '\0') {
    setup.UnitFolder = unitFolder;
    setup.UseSystemctl = false;
  } else {
    setup.UnitFolder = TServiceControlManager::SystemUnitFolder;
    setup.UseSystemctl = SystemdIsRunning();
  }
  return setup;
}

std::string UsageText(const std::string& ProgramName) {
  return "Usage: " + ProgramName +
         " [MODE] [OPTION]...\n"
         "Lets an administrator reboot or shut down this server from a web browser.\n"
         "\n"
         "Modes (switches begin with /, - or --, in any letter case):\n"
         "  /SERVICE            run the service in the foreground (how systemd starts it)\n"
         "  /INSTALL            write and enable the systemd unit for the service\n"
         "  /UNINSTALL          disable and remove the systemd unit\n"
         "  (none)              start once as a check, report the result and end\n"
         "\n"
         "Options:\n"
         "  /SILENT             no success message when installing or uninstalling\n"
         "  /ServiceName=NAME   the service (unit) name instead of the built-in one\n"
         "  /DisplayName=TEXT   the description shown for the service\n"
         "  /DRYRUN[=FILE]      record reboots and shutdowns (in FILE) instead of doing them\n"
         "  /DEBUG              enable the user interface steps\n"
         "  --hash-password     read a password from standard input, print its hash for\n"
         "                      Vardex.cfg's [UserList] and end\n"
         "  --help              show this help and end\n"
         "  --version           show the version and end\n"
         "\n"
         "Options given with /INSTALL are kept on the service's command line.\n"
         "Environment: " +
         UnitFolderVariable +
         "=DIR writes the unit into DIR instead of /etc/systemd/system\n"
         "and leaves systemctl alone.\n";
}

std::string VersionText(const std::string& ProgramName, const TVersionInfoSource& VersionInfo) {
  return ProgramName + " (" + VersionInfo.VersionInfoString("ProductName") + ") " +
         VersionInfo.FileVersionText(false) + "\n";
}

int RunVardex(const TProgramSetup& Setup) {
  const std::string programName = ExtractFileName(Setup.ProgramPath);
  if (WantsHelp(Setup.Args)) {
    *Setup.Out << UsageText(programName);
    return 0;
  }
  if (WantsVersion(Setup.Args)) {
    *Setup.Out << VersionText(programName, Setup.VersionInfo);
    return 0;
  }

  TEventLoop loop;
  TSvcEnvironment environment;
  environment.Args = Setup.Args;
  environment.ProgramPath = Setup.ProgramPath;
  environment.VersionInfo = Setup.VersionInfo;
  environment.UnitFolder = Setup.UnitFolder;
  environment.UseSystemctl = Setup.UseSystemctl;
  environment.Out = Setup.Out;
  environment.Err = Setup.Err;
  auto serviceKind = std::make_shared<TSvcApplication>(loop, environment);
  TMultiTypeApplication application(serviceKind);

  int exitCode = 0;
  try {
    TDataModuleProjMgr* startup = nullptr;
    RunInLoop(loop, [&] {
      application.Initialize();
      TProjectContext context;
      context.App = &application;
      context.Loop = &loop;
      context.Args = Setup.Args;
      context.ProgramPath = Setup.ProgramPath;
      context.VersionInfo = Setup.VersionInfo;
      startup = &application.CreateForm(std::make_unique<TDataModuleProjMgr>(context, Setup.MainModuleFactory));
      startup->VDXProjMgr().ManageStartup();
    });
    const TmtaMode mode = application.ApplicationMode();
    application.Run();
    if (mode == TmtaMode::mtamWinService) {
      exitCode = application.ExitCode();
      if (serviceKind->IsServiceRunning() && !startup->VDXProjMgr().Continue()) ReportServiceStartFailure(*startup, Setup);
    } else {
      exitCode = ReportDesktopRun(*startup, Setup, Setup.VersionInfo.VersionInfoString("ProductName"));
    }
  } catch (...) {
    *Setup.Err << CurrentExceptionMessage() << std::endl;
    exitCode = 1;
  }
  // The modules go with the application kind: the main module first (its
  // listener stops), then the start-up module, then the service object.
  return exitCode;
}

}  // namespace kelvane
