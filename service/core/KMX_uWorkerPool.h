#pragma once

// The listener's connection threads: created when a task finds none free (up
// to a maximum), then kept for the next tasks. Tasks that may block (a
// handler, the work after an answer was sent) run here, never on the I/O
// threads.

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

namespace kelvane {

class TWorkerPool {
 public:
  TWorkerPool() = default;
  ~TWorkerPool() { Close(); }
  TWorkerPool(const TWorkerPool&) = delete;
  TWorkerPool& operator=(const TWorkerPool&) = delete;

  // At least one thread; threads already running are kept.
  void SetMaxThreads(std::size_t maxThreads);

  // Runs the task on a free thread, a new one while below the maximum, or the
  // next one to come free. Dropped once the pool is closed.
  void Post(std::function<void()> task);

  // Lets running tasks end, drops queued ones and joins every thread.
  void Close();

 private:
  void Run();

  std::mutex FMutex;
  std::condition_variable FWake;
  std::deque<std::function<void()>> FQueue;
  std::vector<std::thread> FThreads;
  std::size_t FIdle = 0;
  std::size_t FMaxThreads = 1;
  bool FClosing = false;
};

}  // namespace kelvane
