#pragma once

// The start-up project manager: runs the program's start-up as a fixed series
// of steps, each an event that may hand back an error text and stop the
// series. Under the service manager the series waits for the service's start
// announcement and its outcome is the start verdict; in a desktop run it runs
// at once.

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "HostVersionInfo.h"
#include "MultiTypeAppCmdLine.h"
#include "ucTime.h"

namespace kelvane {

class TAppRole;
class TEventLoop;
class TMultiTypeApplication;
class IObserverEvent;
class IObservableComponent;
class TObserverData;

enum class TServiceInstanceMonitoringMode {
  simmIgnoreInstanceNum = 0,
  simmLimitOneInstance = 1,
  simmAppendInstanceNumToServiceName = 2,
};

class TProjectManager;

using ProjectEvent = std::function<void(TProjectManager& Sender)>;
using ProjectStepEvent = std::function<void(TProjectManager& Sender, std::string& ErrorText, bool& Continue)>;
using ProjectSkinStepEvent = std::function<void(TProjectManager& Sender, const std::string& SuggestedAppID,
                                                std::string& ErrorText, bool& Continue)>;
using ProjectUIStepEvent =
    std::function<void(TProjectManager& Sender, bool ShouldEnableGUI, std::string& ErrorText, bool& Continue)>;
using ProjectErrorEvent = std::function<void(TProjectManager& Sender, const std::string& ErrorText)>;

// What the project manager works with.
struct TProjectContext {
  TMultiTypeApplication* App = nullptr;
  TEventLoop* Loop = nullptr;  // the main thread's loop
  TCommandLine Args;
  std::string ProgramPath;
  TVersionInfoSource VersionInfo;
  Clock Now = SystemClock();
};

class TProjectManager {
 public:
  // Claims an instance number at once (ELockTimeout when another process
  // keeps the registry locked).
  explicit TProjectManager(TProjectContext Context);
  // Detaches from the service, runs the stop step unless it ran, and
  // releases the instance number.
  ~TProjectManager();
  TProjectManager(const TProjectManager&) = delete;
  TProjectManager& operator=(const TProjectManager&) = delete;

  // Published events, in this order.
  ProjectStepEvent OnBeforeFirstCreate;
  ProjectStepEvent OnDataModulesCreate1;
  ProjectSkinStepEvent OnDataModulesCreate2;
  ProjectStepEvent OnDataModulesCreate3;
  ProjectStepEvent OnDataModulesInit;
  ProjectUIStepEvent OnGUICreate;
  ProjectUIStepEvent OnGUIInit;
  ProjectEvent OnStartupComplete;
  ProjectErrorEvent OnStartupError;
  ProjectStepEvent OnStop;

  const std::string& Identifier() const { return FIdentifier; }
  void SetIdentifier(const std::string& Value) { FIdentifier = Value; }
  TServiceInstanceMonitoringMode InstanceMonitoringMode() const { return FInstanceMonitoringMode; }
  void SetInstanceMonitoringMode(TServiceInstanceMonitoringMode Value) { FInstanceMonitoringMode = Value; }

  // Called once by the program after the start-up module exists.
  void ManageStartup();
  void TrueProjectStart();
  void TrueProjectStop();
  bool StartUI();
  void GetProjectNames(std::string& AServiceName, std::string& ADisplayName) const;

  // Parameters, looked up among the service's start arguments first, then on
  // the command line. Value carries its prefix ("/DEBUG"); Key does not.
  bool ServiceHaveParam(const std::string& Value) const;
  bool ServiceParamValue(const std::string& Key, std::string& Value) const;
  bool ProjectHaveParam(const std::string& Value) const;
  bool ProjectParamValue(const std::string& Key, std::string& Value) const;

  void DoStartupError();

  // The outcome of the start-up so far.
  const std::string& ErrorMessage() const { return FErrorMessage; }
  bool Continue() const { return FContinue; }
  bool ShutdownStarted() const { return FShutdownStarted; }

  TAppRole& ProjectRole() { return *FProjectRole; }
  const TProjectContext& Context() const { return FContext; }

 private:
  std::shared_ptr<IObserverEvent> ServiceStartObserver();
  std::shared_ptr<IObserverEvent> ServiceStopObserver();
  void ServiceStartHandler(IObservableComponent& Subject, TObserverData* Data);
  void ServiceStopHandler(IObservableComponent& Subject, TObserverData* Data);
  void RunDataModuleSteps(bool& Continue);

  TProjectContext FContext;
  std::string FErrorMessage;
  bool FContinue = true;
  bool FShutdownStarted = false;
  TServiceInstanceMonitoringMode FInstanceMonitoringMode = TServiceInstanceMonitoringMode::simmIgnoreInstanceNum;
  std::unique_ptr<TAppRole> FProjectRole;
  std::vector<std::string> FServiceParams;
  std::string FIdentifier;
  std::shared_ptr<IObserverEvent> FServiceStartObserver;
  std::shared_ptr<IObserverEvent> FServiceStopObserver;
};

}  // namespace kelvane
