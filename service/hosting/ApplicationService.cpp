#include "ApplicationService.h"

namespace kelvane {

TApplicationService::TApplicationService() : TService(DesignName) {
  FAllowPause = false;
  FInteractive = true;
  FStartType = TStartType::stManual;
}

TApplicationService::~TApplicationService() {
  std::lock_guard lock(FMutex);
  if (FStartNotify) FStartNotify->Void();
  if (FStopNotify) FStopNotify->Void();
}

std::shared_ptr<IObservableComponent> TApplicationService::StartNotify() {
  std::lock_guard lock(FMutex);
  if (!FStartNotify) FStartNotify = std::make_shared<TObservableComponent>(this);
  return FStartNotify;
}

std::shared_ptr<IObservableComponent> TApplicationService::StopNotify() {
  std::lock_guard lock(FMutex);
  if (!FStopNotify) FStopNotify = std::make_shared<TObservableComponent>(this);
  return FStopNotify;
}

void TApplicationService::ServiceStart(bool& Started) {
  // The parameters live on this frame, so they are gone after the
  // announcement whether or not a subscriber raised.
  TSvcStartParameters parameters(Started);
  StartNotify()->NotifyObservers(&parameters);
  Started = parameters.Started();
}

void TApplicationService::ServiceStop(bool& Stopped) {
  StopNotify()->NotifyObservers(nullptr);
  // A stop is never refused.
  Stopped = true;
}

}  // namespace kelvane
