#pragma once

// The main thread's event loop: work posted from any thread and timers run on
// the thread that called Run(), one at a time, in the order they became due.

#include <chrono>
#include <functional>
#include <memory>

namespace kelvane {

class TTimer;

class TEventLoop {
 public:
  TEventLoop();
  ~TEventLoop();
  TEventLoop(const TEventLoop&) = delete;
  TEventLoop& operator=(const TEventLoop&) = delete;

  // Runs posted work and due timers on the calling thread until Quit().
  // Answers the exit code handed to Quit().
  int Run();

  // Ends Run() after the work item that is running now. Any thread.
  void Quit(int exitCode = 0);

  // Queues work for the loop thread. Any thread.
  void Post(std::function<void()> work);

  // Runs work on the loop thread and waits until it is done; an exception it
  // throws is rethrown here. On the loop thread itself the work runs at once.
  // Answers false, without running the work, when the loop has quit.
  bool PostAndWait(const std::function<void()>& work);

  // True on the thread running Run().
  bool IsLoopThread() const;

 private:
  friend class TTimer;
  struct Impl;
  std::unique_ptr<Impl> FImpl;
};

// A timer of the event loop. Enabled, it calls OnTimer on the loop thread every
// Interval until disabled. Enabling an enabled timer does not restart its
// interval; changing the interval of an enabled timer does. Any thread may
// enable, disable or re-time it. A timer whose interval is zero never fires.
class TTimer {
 public:
  TTimer(TEventLoop& loop, std::chrono::milliseconds interval, std::function<void()> onTimer);
  ~TTimer();
  TTimer(const TTimer&) = delete;
  TTimer& operator=(const TTimer&) = delete;

  void SetEnabled(bool enabled);
  bool Enabled() const;
  void SetInterval(std::chrono::milliseconds interval);
  std::chrono::milliseconds Interval() const;

 private:
  friend class TEventLoop;
  TEventLoop& FLoop;
  std::function<void()> FOnTimer;
  // Guarded by the loop's mutex.
  bool FEnabled = false;
  std::chrono::milliseconds FInterval;
  std::chrono::steady_clock::time_point FDue;
};

}  // namespace kelvane
