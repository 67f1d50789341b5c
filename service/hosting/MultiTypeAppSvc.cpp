#include "MultiTypeAppSvc.h"

#include <exception>

#include "ApplicationService.h"
#include "MultiTypeAppDiagLog.h"
#include "SvcFramework.h"
#include "ucPaths.h"

namespace kelvane {

std::string ProgramBaseName(const std::string& ProgramPath) {
  std::string name = ExtractFileName(ProgramPath);
  const std::size_t dot = name.rfind('.');
  if (dot != std::string::npos && dot > 0) name.erase(dot);
  return name;
}

void GetServiceNames(const TCommandLine& Args, const TVersionInfoSource& VersionInfo,
                     const std::string& ProgramPath, const std::string& Title, std::string& ServiceName,
                     std::string& DisplayName) {
  if (!CommandLineSwitchValue(Args, "ServiceName", ServiceName)) {
    ServiceName = VersionInfo.VersionInfoString("ServiceName");
    if (ServiceName == UnknownVersionValue) ServiceName = ProgramBaseName(ProgramPath);
  }
  if (!CommandLineSwitchValue(Args, "DisplayName", DisplayName)) {
    DisplayName = VersionInfo.VersionInfoString("DisplayName");
    if (DisplayName == UnknownVersionValue) DisplayName.clear();
  }
  if (DisplayName.empty()) DisplayName = Title;
}

TSvcApplication::TSvcApplication(TEventLoop& Loop, TSvcEnvironment Environment)
    : FLoop(Loop),
      FEnvironment(std::move(Environment)),
      FControlManager(FEnvironment.UnitFolder, FEnvironment.UseSystemctl) {}

TSvcApplication::~TSvcApplication() {
  while (!FForms.empty()) FForms.pop_back();
  FApplicationService = nullptr;
  FServiceFramework.reset();
}

void TSvcApplication::CreateForm(std::unique_ptr<TDataModule> Module) {
  if (!Module) return;
  if (FServiceFramework && dynamic_cast<TService*>(Module.get()) != nullptr) {
    FServiceFramework->AddService(std::unique_ptr<TService>(static_cast<TService*>(Module.release())));
    return;
  }
  FForms.push_back(std::move(Module));
}

void TSvcApplication::Initialize() {
  if (!IsServiceMode()) return;
  FServiceFramework = std::make_unique<TServiceApplication>(FLoop, *FEnvironment.Err);
  auto service = std::make_unique<TApplicationService>();
  FApplicationService = service.get();
  FServiceFramework->AddService(std::move(service));
  std::string serviceName;
  std::string displayName;
  GetServiceNames(FEnvironment.Args, FEnvironment.VersionInfo, FEnvironment.ProgramPath, Title(), serviceName,
                  displayName);
  FApplicationService->SetName(serviceName);
}

void TSvcApplication::Run() {
  const bool silent = HaveCommandLineSwitch(FEnvironment.Args, "/SILENT");
  if (IsInstalling()) {
    InstallOrRemoveServices(true, silent);
  } else if (IsUninstalling()) {
    InstallOrRemoveServices(false, silent);
  } else if (IsServiceRunning()) {
    if (FServiceFramework) FExitCode = FServiceFramework->Run();
  }
  // A desktop run has no window to wait for, so it is over.
}

void TSvcApplication::Terminate() {
  FTerminated = true;
  if (FServiceFramework) FServiceFramework->RequestStop();
}

std::string TSvcApplication::Title() const { return FServiceFramework ? FServiceFramework->Title() : std::string(); }

void TSvcApplication::SetTitle(const std::string& Title) {
  if (FServiceFramework) FServiceFramework->SetTitle(Title);
}

bool TSvcApplication::IsInstalling() const { return HaveCommandLineSwitch(FEnvironment.Args, "/INSTALL"); }

bool TSvcApplication::IsUninstalling() const { return HaveCommandLineSwitch(FEnvironment.Args, "/UNINSTALL"); }

bool TSvcApplication::IsServiceRunning() const { return HaveCommandLineSwitch(FEnvironment.Args, "/SERVICE"); }

bool TSvcApplication::IsServiceMode() const { return IsInstalling() || IsUninstalling() || IsServiceRunning(); }

bool TSvcApplication::IsInstalled() const { return FControlManager.ServiceExists(GetInstalledServiceName()); }

std::string TSvcApplication::GetInstalledServiceName() const {
  const std::string name = ServiceName();
  if (FApplicationService == nullptr || name == TApplicationService::DesignName) {
    return ProgramBaseName(FEnvironment.ProgramPath);
  }
  return name;
}

std::string TSvcApplication::ServiceName() const {
  return FApplicationService ? FApplicationService->Name() : std::string();
}

void TSvcApplication::SetServiceName(const std::string& Value) {
  if (FApplicationService) FApplicationService->SetName(Value);
}

std::string TSvcApplication::DisplayName() const {
  return FApplicationService ? FApplicationService->DisplayName() : std::string();
}

void TSvcApplication::SetDisplayName(const std::string& Value) {
  if (FApplicationService) FApplicationService->SetDisplayName(Value);
}

bool TSvcApplication::Interactive() const { return FApplicationService && FApplicationService->Interactive(); }

void TSvcApplication::SetInteractive(bool Value) {
  if (FApplicationService) FApplicationService->SetInteractive(Value);
}

std::shared_ptr<IObservableComponent> TSvcApplication::StartNotify() {
  return FApplicationService ? FApplicationService->StartNotify() : nullptr;
}

std::shared_ptr<IObservableComponent> TSvcApplication::StopNotify() {
  return FApplicationService ? FApplicationService->StopNotify() : nullptr;
}

int TSvcApplication::ParamCount() const { return static_cast<int>(FServiceParams.size()); }

std::string TSvcApplication::Param(int Index) const {
  return Index >= 0 && Index < ParamCount() ? FServiceParams[static_cast<std::size_t>(Index)] : std::string();
}

void TSvcApplication::InstallOrRemoveServices(bool Install, bool Silent) {
  if (!FServiceFramework) return;
  bool failed = false;
  for (const auto& service : FServiceFramework->Services()) {
    try {
      if (Install) {
        CreateServiceEntry(*service);
      } else {
        DeleteServiceEntry(*service);
      }
    } catch (const std::exception& e) {
      *FEnvironment.Err << "Service \"" << service->DisplayName() << "\" failed to "
                        << (Install ? "install" : "uninstall") << " with error: \"" << e.what() << "\"" << std::endl;
      failed = true;
    }
  }
  if (failed) {
    FExitCode = 1;
  } else if (!Silent) {
    *FEnvironment.Out << (Install ? "Service installed successfully" : "Service uninstalled successfully")
                      << std::endl;
  }
}

void TSvcApplication::CreateServiceEntry(TService& Service) {
  if (IsInstalled()) {
    WriteDiagnosticLine(FEnvironment.ProgramPath, FEnvironment.Now, "info", "", "service is already installed");
    return;
  }
  TServiceRegistration registration;
  registration.Name = Service.Name();
  registration.DisplayName = Service.DisplayName();
  registration.StartType = Service.StartType();
  registration.ProgramPath = FEnvironment.ProgramPath;
  registration.Arguments = BuildServiceArguments(FEnvironment.Args);
  FControlManager.CreateService(registration);
}

void TSvcApplication::DeleteServiceEntry(TService& Service) { FControlManager.DeleteService(Service.Name()); }

}  // namespace kelvane
