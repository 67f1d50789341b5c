#pragma once

// The service-capable application kind. It decides call by call whether the
// service framework or the plain process does the work: with SERVICE,
// INSTALL or UNINSTALL on the command line it is in a service mode; without,
// it runs as a desktop process that ends as soon as its start-up is done.

#include <iostream>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "HostVersionInfo.h"
#include "MultiTypeApp.h"
#include "MultiTypeAppCmdLine.h"
#include "SvcControlManager.h"
#include "ucTime.h"

namespace kelvane {

class TEventLoop;
class TServiceApplication;
class TService;

// Where the application kind gets its inputs from and sends its messages to.
struct TSvcEnvironment {
  TCommandLine Args;        // the command line, without the program
  std::string ProgramPath;  // full path of the program file
  TVersionInfoSource VersionInfo;
  std::string UnitFolder = TServiceControlManager::SystemUnitFolder;
  bool UseSystemctl = true;
  std::ostream* Out = &std::cout;  // information messages
  std::ostream* Err = &std::cerr;  // error messages
  Clock Now = SystemClock();
};

// The program file's name without its extension, as spelled on disk.
std::string ProgramBaseName(const std::string& ProgramPath);

// The service and display names: the switches ServiceName and DisplayName
// first, then the version information's "ServiceName" and "DisplayName", then
// the program file's name for the service and `Title` for the display.
void GetServiceNames(const TCommandLine& Args, const TVersionInfoSource& VersionInfo,
                     const std::string& ProgramPath, const std::string& Title, std::string& ServiceName,
                     std::string& DisplayName);

class TSvcApplication final : public ISvcApplication {
 public:
  TSvcApplication(TEventLoop& Loop, TSvcEnvironment Environment);
  // Destroys the modules, the last created first, then the service object.
  ~TSvcApplication() override;

  void CreateForm(std::unique_ptr<TDataModule> Module) override;
  // In a service mode: creates the service framework and the service object
  // and names it (EComponentError for a name that is no identifier).
  void Initialize() override;
  // Installs, uninstalls, runs the service, or (desktop) returns at once.
  void Run() override;
  void Terminate() override;
  bool Terminated() const override { return FTerminated; }
  std::string Title() const override;
  void SetTitle(const std::string& Title) override;
  int ExitCode() const override { return FExitCode; }

  bool IsInstalling() const override;
  bool IsUninstalling() const override;
  bool IsInstalled() const override;
  bool IsServiceRunning() const override;
  bool IsServiceMode() const override;
  std::string ServiceName() const override;
  void SetServiceName(const std::string& Value) override;
  std::string DisplayName() const override;
  void SetDisplayName(const std::string& Value) override;
  bool Interactive() const override;
  void SetInteractive(bool Value) override;
  std::shared_ptr<IObservableComponent> StartNotify() override;
  std::shared_ptr<IObservableComponent> StopNotify() override;
  int ParamCount() const override;
  std::string Param(int Index) const override;
  TApplicationService* ApplicationService() const override { return FApplicationService; }

  // The name IsInstalled looks for: the service object's name, or the program
  // file's name while the object still bears its design name.
  std::string GetInstalledServiceName() const;

  // Registers or removes every service object. Errors are shown (even when
  // silent) and make the exit status 1; success is shown unless silent.
  void InstallOrRemoveServices(bool Install, bool Silent);
  void CreateServiceEntry(TService& Service);
  void DeleteServiceEntry(TService& Service);

  const TSvcEnvironment& Environment() const { return FEnvironment; }
  TServiceApplication* ServiceFramework() const { return FServiceFramework.get(); }

 private:
  TEventLoop& FLoop;
  TSvcEnvironment FEnvironment;
  TServiceControlManager FControlManager;
  std::vector<std::unique_ptr<TDataModule>> FForms;
  std::unique_ptr<TServiceApplication> FServiceFramework;
  TApplicationService* FApplicationService = nullptr;
  std::vector<std::string> FServiceParams;
  bool FTerminated = false;
  int FExitCode = 0;
};

}  // namespace kelvane
