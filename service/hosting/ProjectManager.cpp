#include "ProjectManager.h"

#include <exception>
#include <iostream>

#include "AppRole.h"
#include "ApplicationService.h"
#include "CurrentException.h"
#include "MultiTypeApp.h"
#include "MultiTypeAppDiagLog.h"
#include "MultiTypeAppSvc.h"
#include "ucEventLoop.h"
#include "ucObservable.h"
#include "ucPaths.h"

namespace kelvane {

TProjectManager::TProjectManager(TProjectContext Context) : FContext(std::move(Context)) {
  FProjectRole = std::make_unique<TAppRole>(*FContext.Loop, ExtractFileName(FContext.ProgramPath));
}

TProjectManager::~TProjectManager() {
  if (FServiceStartObserver) FServiceStartObserver->Void();
  if (FServiceStopObserver) FServiceStopObserver->Void();
  if (!FShutdownStarted) {
    try {
      TrueProjectStop();
    } catch (...) {
      // The program is ending; a failing stop handler cannot change that.
    }
  }
  FProjectRole.reset();
}

std::shared_ptr<IObserverEvent> TProjectManager::ServiceStartObserver() {
  if (!FServiceStartObserver) {
    FServiceStartObserver = std::make_shared<TObserverEvent>(
        [this](IObservableComponent& Subject, TObserverData* Data) { ServiceStartHandler(Subject, Data); });
  }
  return FServiceStartObserver;
}

std::shared_ptr<IObserverEvent> TProjectManager::ServiceStopObserver() {
  if (!FServiceStopObserver) {
    FServiceStopObserver = std::make_shared<TObserverEvent>(
        [this](IObservableComponent& Subject, TObserverData* Data) { ServiceStopHandler(Subject, Data); });
  }
  return FServiceStopObserver;
}

void TProjectManager::ManageStartup() {
  FErrorMessage.clear();
  try {
    if (OnBeforeFirstCreate) OnBeforeFirstCreate(*this, FErrorMessage, FContinue);
    if (!FContinue) {
      DoStartupError();
      return;
    }
    TMultiTypeApplication& app = *FContext.App;
    ISvcApplication* service = app.ServiceKind();
    if (app.ApplicationMode() == TmtaMode::mtamWinService && service != nullptr) {
      std::string serviceName;
      std::string displayName;
      GetProjectNames(serviceName, displayName);
      service->SetServiceName(serviceName);
      service->SetDisplayName(displayName);
      service->SetInteractive(true);
      if (auto notify = service->StartNotify()) notify->AddObserver(ServiceStartObserver());
      if (auto notify = service->StopNotify()) notify->AddObserver(ServiceStopObserver());
      if (service->IsInstalling()) {
        if (service->IsInstalled()) {
          // Installing again changes nothing and says nothing; the
          // diagnostic log keeps a trace of why.
          WriteDiagnosticLine(FContext.ProgramPath, FContext.Now, "info", "", "service is already installed");
          app.PreventRun();
        }
      } else if (service->IsUninstalling()) {
        if (!service->IsInstalled()) app.PreventRun();
      }
    } else {
      TrueProjectStart();
    }
  } catch (...) {
    FContinue = false;
    FErrorMessage = CurrentExceptionMessage();
    DoStartupError();
  }
}

void TProjectManager::ServiceStartHandler(IObservableComponent& /*Subject*/, TObserverData* Data) {
  FServiceParams.clear();
  if (ISvcApplication* service = FContext.App->ServiceKind()) {
    for (int i = 0; i < service->ParamCount(); ++i) FServiceParams.push_back(service->Param(i));
  }
  if (!FContext.Loop->PostAndWait([this] { TrueProjectStart(); })) {
    FContinue = false;
    FErrorMessage = "The main thread ended before the start-up could run";
  }
  if (auto* parameters = dynamic_cast<TSvcStartParameters*>(Data)) parameters->SetStarted(FContinue);
}

void TProjectManager::ServiceStopHandler(IObservableComponent& /*Subject*/, TObserverData* /*Data*/) {
  FContext.Loop->PostAndWait([this] { TrueProjectStop(); });
}

void TProjectManager::TrueProjectStart() {
  bool stepContinue = FContinue;
  TMultiTypeApplication& app = *FContext.App;
  if (ProjectHaveParam("/DEBUG")) app.EnableUI();
  if (FInstanceMonitoringMode == TServiceInstanceMonitoringMode::simmLimitOneInstance) {
    if (app.ApplicationMode() != TmtaMode::mtamWinService) {
      FProjectRole->SetAppID(FContext.VersionInfo.VersionInfoString("ProductName"));
    }
    if (!FProjectRole->AppID().empty() && FProjectRole->InstanceNumber() > 1) {
      FErrorMessage = FProjectRole->AppID() + " already running; will not continue with instance #" +
                      std::to_string(FProjectRole->InstanceNumber());
      FContinue = false;
      DoStartupError();
      return;
    }
  }
  try {
    RunDataModuleSteps(stepContinue);
    if (FContinue) {
      FContinue = StartUI();
      if (!FContinue) DoStartupError();
    }
    if (FContinue && OnStartupComplete) OnStartupComplete(*this);
  } catch (...) {
    FErrorMessage = CurrentExceptionMessage();
    FContinue = false;
    DoStartupError();
  }
}

void TProjectManager::RunDataModuleSteps(bool& Continue) {
  if (OnDataModulesCreate1) OnDataModulesCreate1(*this, FErrorMessage, Continue);
  if (!Continue) {
    FContinue = false;
    DoStartupError();
  }
  if (FContinue && OnDataModulesCreate2) {
    std::string suggestedAppID;
    if (!ProjectParamValue("ID", suggestedAppID) || suggestedAppID.empty()) {
      suggestedAppID.clear();
      ProjectParamValue("AppID", suggestedAppID);
    }
    OnDataModulesCreate2(*this, suggestedAppID, FErrorMessage, Continue);
    if (FContinue && !Continue) {
      FContinue = false;
      DoStartupError();
    }
  }
  for (const ProjectStepEvent* step : {&OnDataModulesCreate3, &OnDataModulesInit}) {
    if (FContinue && *step) {
      (*step)(*this, FErrorMessage, Continue);
      if (FContinue && !Continue) {
        FContinue = false;
        DoStartupError();
      }
    }
  }
}

bool TProjectManager::StartUI() {
  bool result = true;
  try {
    if (FContext.App->ApplicationMode() == TmtaMode::mtamConsole) {
      std::cout << "Press Ctrl-C to quit" << std::endl;
    } else {
      const bool enableGUI = FContext.App->IsUIEnabled();
      if (OnGUICreate) OnGUICreate(*this, enableGUI, FErrorMessage, result);
      if (result && OnGUIInit) OnGUIInit(*this, enableGUI, FErrorMessage, result);
    }
  } catch (...) {
    FErrorMessage = CurrentExceptionMessage();
    DoStartupError();
  }
  return result;
}

void TProjectManager::TrueProjectStop() {
  FShutdownStarted = true;
  bool ignored = true;
  if (OnStop) OnStop(*this, FErrorMessage, ignored);
}

void TProjectManager::GetProjectNames(std::string& AServiceName, std::string& ADisplayName) const {
  GetServiceNames(FContext.Args, FContext.VersionInfo, FContext.ProgramPath, FContext.App->Title(), AServiceName,
                  ADisplayName);
}

bool TProjectManager::ServiceHaveParam(const std::string& Value) const {
  std::string wanted;
  if (!SwitchWord(Value, wanted)) wanted = Value.size() > 1 ? Value.substr(1) : std::string();
  for (const std::string& parameter : FServiceParams) {
    if (IsSwitch(parameter, wanted)) return true;
  }
  return false;
}

bool TProjectManager::ServiceParamValue(const std::string& Key, std::string& Value) const {
  return CommandLineSwitchValue(FServiceParams, Key, Value);
}

bool TProjectManager::ProjectHaveParam(const std::string& Value) const {
  return ServiceHaveParam(Value) || HaveCommandLineSwitch(FContext.Args, Value);
}

bool TProjectManager::ProjectParamValue(const std::string& Key, std::string& Value) const {
  return ServiceParamValue(Key, Value) || CommandLineSwitchValue(FContext.Args, Key, Value);
}

void TProjectManager::DoStartupError() {
  if (!OnStartupError) return;
  try {
    OnStartupError(*this, FErrorMessage);
  } catch (...) {
    // A failing error handler must not turn one failure into two.
  }
}

}  // namespace kelvane
