#include "AppRoleListener.h"

#include "ucAppRoleChannel.h"
#include "ucEventLoop.h"

namespace kelvane {
namespace {

// The pause after a wait that brought no message, so a stream of empty
// connections cannot keep the thread busy.
constexpr auto IdlePause = std::chrono::milliseconds(10);

}  // namespace

// A receive step posted to the main thread. The listener waits for it to be
// done; when the listener stops first, the step is cancelled and does nothing
// if the loop gets to it later. A loop that ends drops the work still queued
// without running it: the step is then abandoned, and the listener posts it
// again for the loop's next run.
struct TMessageListener::TPendingStep {
  std::mutex Mutex;
  std::condition_variable Changed;
  bool Done = false;
  bool Cancelled = false;
  bool Abandoned = false;
};

namespace {

// Travels with the posted work; when the work goes away without having run,
// its step is marked abandoned.
template <class TStep>
class TStepTicket {
 public:
  explicit TStepTicket(std::shared_ptr<TStep> step) : FStep(std::move(step)) {}
  ~TStepTicket() {
    std::lock_guard lock(FStep->Mutex);
    if (!FStep->Done) {
      FStep->Abandoned = true;
      FStep->Changed.notify_all();
    }
  }
  TStepTicket(const TStepTicket&) = delete;
  TStepTicket& operator=(const TStepTicket&) = delete;

 private:
  std::shared_ptr<TStep> FStep;
};

}  // namespace

TMessageListener::TMessageListener(TEventLoop& Loop, std::string PipeName, TCallback Callback)
    : FLoop(Loop),
      FPipeName(std::move(PipeName)),
      FCallback(std::move(Callback)),
      FServer(std::make_unique<TChannelServer>(FPipeName)) {}

TMessageListener::~TMessageListener() { Stop(); }

void TMessageListener::Start() {
  if (!FThread.joinable()) FThread = std::thread([this] { Execute(); });
}

void TMessageListener::Stop() {
  std::shared_ptr<TPendingStep> pending;
  {
    std::lock_guard lock(FMutex);
    FStopping = true;
    pending = FPending;
  }
  if (pending) {
    std::lock_guard lock(pending->Mutex);
    pending->Cancelled = true;
    pending->Changed.notify_all();
  }
  FWake.notify_all();
  FServer->Stop();
  if (FThread.joinable()) FThread.join();
}

void TMessageListener::Execute() {
  for (;;) {
    FHandled = false;
    std::string message;
    const auto result = FServer->ReceiveOne(message, AppRoleMessageSize);
    if (result == TChannelServer::TReceiveResult::Stopped) return;
    // Anything but a whole registry message (a probe that only looks whether
    // the channel exists, a stray client) is ignored.
    if (result == TChannelServer::TReceiveResult::Message && DecodeAppRoleMessage(message, FLastMessage)) {
      FHandled = RunOnMainThreadAndWait(FLastMessage);
    }
    if (!FHandled) {
      std::unique_lock lock(FMutex);
      if (FWake.wait_for(lock, IdlePause, [this] { return FStopping; })) return;
    }
  }
}

bool TMessageListener::RunOnMainThreadAndWait(const TInstanceMask& Mask) {
  auto step = std::make_shared<TPendingStep>();
  {
    std::lock_guard lock(FMutex);
    if (FStopping) return false;
    FPending = step;
  }
  bool done = false;
  for (;;) {
    {
      std::lock_guard lock(step->Mutex);
      if (step->Cancelled) break;
      step->Abandoned = false;
    }
    // The posted work holds nothing of the listener but the callback, which
    // it calls only while not cancelled: Stop() runs on the main thread too,
    // so the callback's owner cannot go away while it runs.
    auto ticket = std::make_shared<TStepTicket<TPendingStep>>(step);
    FLoop.Post([step, ticket, callback = FCallback, Mask] {
      {
        std::lock_guard lock(step->Mutex);
        if (step->Cancelled) return;
      }
      callback(Mask);
      std::lock_guard lock(step->Mutex);
      step->Done = true;
      step->Changed.notify_all();
    });
    ticket.reset();
    std::unique_lock lock(step->Mutex);
    step->Changed.wait(lock, [&] { return step->Done || step->Cancelled || step->Abandoned; });
    if (step->Done || step->Cancelled) {
      done = step->Done;
      break;
    }
  }
  std::lock_guard lock(FMutex);
  FPending.reset();
  return done;
}

}  // namespace kelvane
