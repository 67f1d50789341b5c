#include "SvcFramework.h"

#include <exception>

#include "CurrentException.h"
#include "ucEventLoop.h"
#include "ucSignals.h"
#include "ucSystemd.h"

namespace kelvane {

TServiceApplication::TServiceApplication(TEventLoop& Loop, std::ostream& Log) : FLoop(Loop), FLog(Log) {}

TServiceApplication::~TServiceApplication() {
  if (FThread.joinable()) {
    RequestStop();
    FThread.join();
  }
}

TService& TServiceApplication::AddService(std::unique_ptr<TService> Service) {
  FServices.push_back(std::move(Service));
  return *FServices.back();
}

int TServiceApplication::Run() {
  if (FServices.empty()) return 0;
  TService& service = *FServices.front();
  {
    std::lock_guard lock(FMutex);
    FStopRequested = false;
    FExitCode = 0;
  }
  TTerminationSignals signals([this](const std::string& SignalName) {
    FLoop.Post([this, SignalName] {
      FLog << "Stop requested (" << SignalName << ")" << std::endl;
      RequestStop();
    });
  });
  // The service thread starts from within the loop, so its first call to the
  // main thread finds the loop running.
  FLoop.Post([this, &service] { FThread = std::thread([this, &service] { ServiceThread(service); }); });
  FLoop.Run();
  if (FThread.joinable()) FThread.join();
  std::lock_guard lock(FMutex);
  return FExitCode;
}

void TServiceApplication::RequestStop() {
  {
    std::lock_guard lock(FMutex);
    FStopRequested = true;
  }
  FStopSignal.notify_all();
}

void TServiceApplication::ServiceThread(TService& Service) {
  Service.SetStatus(TServiceStatus::csStartPending);
  bool started = true;
  try {
    Service.ServiceStart(started);
  } catch (...) {
    FLog << "Service failed on start: " << CurrentExceptionMessage() << std::endl;
    started = false;
  }
  if (!started) {
    Service.SetStatus(TServiceStatus::csStopped);
    {
      std::lock_guard lock(FMutex);
      FExitCode = 1;
    }
    FLoop.Quit(1);
    return;
  }
  Service.SetStatus(TServiceStatus::csRunning);
  NotifyServiceManager("READY=1");
  {
    std::unique_lock lock(FMutex);
    FStopSignal.wait(lock, [this] { return FStopRequested; });
  }
  Service.SetStatus(TServiceStatus::csStopPending);
  NotifyServiceManager("STOPPING=1");
  bool stopped = true;
  try {
    Service.ServiceStop(stopped);
  } catch (...) {
    FLog << "Service failed on stop: " << CurrentExceptionMessage() << std::endl;
    std::lock_guard lock(FMutex);
    FExitCode = 1;
  }
  Service.SetStatus(TServiceStatus::csStopped);
  FLoop.Quit(0);
}

}  // namespace kelvane
