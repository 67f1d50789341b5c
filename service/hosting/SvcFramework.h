#pragma once

// The service framework: runs the service object in the foreground the way
// systemd expects of a Type=notify service. The start event runs on a service
// thread while the main thread serves its event loop; a true verdict is
// reported to systemd as READY=1, a false one ends the run with a failure
// status. SIGTERM and SIGINT are the stop control: STOPPING=1, the stop event,
// and the run ends.

#include <condition_variable>
#include <memory>
#include <mutex>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

#include "SvcService.h"

namespace kelvane {

class TEventLoop;

class TServiceApplication {
 public:
  TServiceApplication(TEventLoop& Loop, std::ostream& Log);
  ~TServiceApplication();
  TServiceApplication(const TServiceApplication&) = delete;
  TServiceApplication& operator=(const TServiceApplication&) = delete;

  // Takes the service object over; the framework owns it until it goes away.
  TService& AddService(std::unique_ptr<TService> Service);
  const std::vector<std::unique_ptr<TService>>& Services() const { return FServices; }

  const std::string& Title() const { return FTitle; }
  void SetTitle(const std::string& Title) { FTitle = Title; }

  // Runs the first service until it stops; the main thread serves the event
  // loop meanwhile. Answers the process exit status: 0 after a clean stop,
  // 1 after a refused or failed start or a failed stop.
  int Run();

  // The stop control. Any thread; a stop before the start has finished is
  // carried out once the service runs, and ignored when it never runs.
  void RequestStop();

 private:
  void ServiceThread(TService& Service);

  TEventLoop& FLoop;
  std::ostream& FLog;
  std::string FTitle;
  std::vector<std::unique_ptr<TService>> FServices;
  std::thread FThread;
  std::mutex FMutex;
  std::condition_variable FStopSignal;
  bool FStopRequested = false;
  int FExitCode = 0;
};

}  // namespace kelvane
