#pragma once

// The thread that serves one process's instance channel: it takes each
// registry message a peer sends and runs the registry's receive step with it
// on the main thread, waiting until that is done.

#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "AppRoleMessage.h"

namespace kelvane {

class TEventLoop;
class TChannelServer;

class TMessageListener {
 public:
  using TCallback = std::function<void(const TInstanceMask& Mask)>;

  // Creates the channel at once, so the name is taken when this returns;
  // std::system_error when it cannot be created. The thread starts with Start.
  TMessageListener(TEventLoop& Loop, std::string PipeName, TCallback Callback);
  // Stops the thread and waits for it.
  ~TMessageListener();
  TMessageListener(const TMessageListener&) = delete;
  TMessageListener& operator=(const TMessageListener&) = delete;

  void Start();
  // Ends the thread. A receive step that has not run yet never runs. Call it
  // on the main thread (the one the receive steps run on).
  void Stop();

  const std::string& PipeName() const { return FPipeName; }

 private:
  struct TPendingStep;
  void Execute();
  bool RunOnMainThreadAndWait(const TInstanceMask& Mask);

  TEventLoop& FLoop;
  std::string FPipeName;
  TCallback FCallback;
  std::unique_ptr<TChannelServer> FServer;
  std::thread FThread;
  std::mutex FMutex;
  std::condition_variable FWake;
  bool FStopping = false;
  std::shared_ptr<TPendingStep> FPending;
  TInstanceMask FLastMessage;
  bool FHandled = false;
};

}  // namespace kelvane
