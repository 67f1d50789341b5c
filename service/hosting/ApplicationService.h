#pragma once

// The program's one service object. It does no work of its own: it announces
// the service manager's start and stop requests to its subscribers and hands
// their start verdict back.

#include <memory>
#include <mutex>

#include "SvcService.h"
#include "ucObservable.h"

namespace kelvane {

// The data of a start announcement: subscribers set Started to false to keep
// the service from running.
class TSvcStartParameters final : public TObserverData {
 public:
  explicit TSvcStartParameters(bool Started) : FStarted(Started) {}
  bool Started() const { return FStarted; }
  void SetStarted(bool Started) { FStarted = Started; }

 private:
  bool FStarted;
};

class TApplicationService final : public TService {
 public:
  // The name the object bears until the program gives it the service name.
  static constexpr const char* DesignName = "ApplicationService";

  TApplicationService();
  // Voids both announcements: subscribers holding them hear nothing more.
  ~TApplicationService() override;

  // The start and stop announcements, made on first request.
  std::shared_ptr<IObservableComponent> StartNotify();
  std::shared_ptr<IObservableComponent> StopNotify();

  void ServiceStart(bool& Started) override;
  void ServiceStop(bool& Stopped) override;

 private:
  std::mutex FMutex;
  std::shared_ptr<IObservableComponent> FStartNotify;
  std::shared_ptr<IObservableComponent> FStopNotify;
};

}  // namespace kelvane
