#include "ucEventLoop.h"

#include <condition_variable>
#include <deque>
#include <exception>
#include <future>
#include <mutex>
#include <set>
#include <thread>

namespace kelvane {

struct TEventLoop::Impl {
  std::mutex Mutex;
  std::condition_variable Wake;
  std::deque<std::function<void()>> Queue;
  std::set<TTimer*> Timers;
  std::thread::id LoopThread;
  bool Running = false;
  bool QuitRequested = false;
  bool Finished = false;
  int ExitCode = 0;

  // The enabled timer due first, or nullptr. A timer with no interval never
  // fires, so it cannot spin the loop.
  TTimer* NextTimer() const {
    TTimer* next = nullptr;
    for (TTimer* timer : Timers) {
      if (timer->FEnabled && timer->FInterval.count() > 0 && (next == nullptr || timer->FDue < next->FDue)) next = timer;
    }
    return next;
  }
};

TEventLoop::TEventLoop() : FImpl(std::make_unique<Impl>()) {}

TEventLoop::~TEventLoop() = default;

int TEventLoop::Run() {
  std::unique_lock lock(FImpl->Mutex);
  FImpl->LoopThread = std::this_thread::get_id();
  FImpl->Running = true;
  FImpl->Finished = false;
  while (!FImpl->QuitRequested) {
    if (!FImpl->Queue.empty()) {
      std::function<void()> work = std::move(FImpl->Queue.front());
      FImpl->Queue.pop_front();
      lock.unlock();
      work();
      lock.lock();
      continue;
    }
    TTimer* timer = FImpl->NextTimer();
    const auto now = std::chrono::steady_clock::now();
    if (timer != nullptr && timer->FDue <= now) {
      // The next period counts from now, so a slow handler never causes a burst.
      timer->FDue = now + timer->FInterval;
      std::function<void()> onTimer = timer->FOnTimer;
      lock.unlock();
      onTimer();
      lock.lock();
      continue;
    }
    if (timer != nullptr) {
      FImpl->Wake.wait_until(lock, timer->FDue);
    } else {
      FImpl->Wake.wait(lock);
    }
  }
  FImpl->QuitRequested = false;
  FImpl->Running = false;
  FImpl->Finished = true;
  FImpl->LoopThread = {};
  // Whoever still waits for posted work must not wait forever.
  std::deque<std::function<void()>> abandoned;
  abandoned.swap(FImpl->Queue);
  lock.unlock();
  abandoned.clear();
  FImpl->Wake.notify_all();
  return FImpl->ExitCode;
}

void TEventLoop::Quit(int exitCode) {
  {
    std::lock_guard lock(FImpl->Mutex);
    FImpl->QuitRequested = true;
    FImpl->ExitCode = exitCode;
  }
  FImpl->Wake.notify_all();
}

void TEventLoop::Post(std::function<void()> work) {
  {
    std::lock_guard lock(FImpl->Mutex);
    FImpl->Queue.push_back(std::move(work));
  }
  FImpl->Wake.notify_all();
}

bool TEventLoop::PostAndWait(const std::function<void()>& work) {
  if (IsLoopThread()) {
    work();
    return true;
  }
  auto done = std::make_shared<std::promise<void>>();
  std::future<void> result = done->get_future();
  {
    std::lock_guard lock(FImpl->Mutex);
    if (FImpl->Finished) return false;
    // The promise is broken (not fulfilled) when the loop quits before running
    // the work, which wakes the waiter below.
    FImpl->Queue.push_back([done, &work] {
      try {
        work();
        done->set_value();
      } catch (...) {
        done->set_exception(std::current_exception());
      }
    });
  }
  FImpl->Wake.notify_all();
  try {
    result.get();
  } catch (const std::future_error&) {
    return false;
  }
  return true;
}

bool TEventLoop::IsLoopThread() const {
  std::lock_guard lock(FImpl->Mutex);
  return FImpl->Running && FImpl->LoopThread == std::this_thread::get_id();
}

TTimer::TTimer(TEventLoop& loop, std::chrono::milliseconds interval, std::function<void()> onTimer)
    : FLoop(loop), FOnTimer(std::move(onTimer)), FInterval(interval) {
  std::lock_guard lock(FLoop.FImpl->Mutex);
  FLoop.FImpl->Timers.insert(this);
}

TTimer::~TTimer() {
  std::lock_guard lock(FLoop.FImpl->Mutex);
  FLoop.FImpl->Timers.erase(this);
}

void TTimer::SetEnabled(bool enabled) {
  {
    std::lock_guard lock(FLoop.FImpl->Mutex);
    if (enabled == FEnabled) return;
    FEnabled = enabled;
    if (enabled) FDue = std::chrono::steady_clock::now() + FInterval;
  }
  FLoop.FImpl->Wake.notify_all();
}

bool TTimer::Enabled() const {
  std::lock_guard lock(FLoop.FImpl->Mutex);
  return FEnabled;
}

void TTimer::SetInterval(std::chrono::milliseconds interval) {
  {
    std::lock_guard lock(FLoop.FImpl->Mutex);
    FInterval = interval;
    if (FEnabled) FDue = std::chrono::steady_clock::now() + FInterval;
  }
  FLoop.FImpl->Wake.notify_all();
}

std::chrono::milliseconds TTimer::Interval() const {
  std::lock_guard lock(FLoop.FImpl->Mutex);
  return FInterval;
}

}  // namespace kelvane
