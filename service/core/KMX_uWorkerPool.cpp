#include "KMX_uWorkerPool.h"

#include <algorithm>
#include <utility>

namespace kelvane {

void TWorkerPool::SetMaxThreads(std::size_t maxThreads) {
  std::lock_guard lock(FMutex);
  FMaxThreads = std::max<std::size_t>(maxThreads, 1);
}

void TWorkerPool::Post(std::function<void()> task) {
  std::unique_lock lock(FMutex);
  if (FClosing) return;
  FQueue.push_back(std::move(task));
  if (FQueue.size() > FIdle && FThreads.size() < FMaxThreads) {
    FThreads.emplace_back([this] { Run(); });
  } else {
    FWake.notify_one();
  }
}

void TWorkerPool::Close() {
  std::deque<std::function<void()>> dropped;
  std::vector<std::thread> threads;
  {
    std::lock_guard lock(FMutex);
    FClosing = true;
    dropped.swap(FQueue);
    threads.swap(FThreads);
  }
  FWake.notify_all();
  dropped.clear();
  for (std::thread& thread : threads) thread.join();
}

void TWorkerPool::Run() {
  std::unique_lock lock(FMutex);
  for (;;) {
    ++FIdle;
    FWake.wait(lock, [this] { return FClosing || !FQueue.empty(); });
    --FIdle;
    if (FQueue.empty()) return;
    std::function<void()> task = std::move(FQueue.front());
    FQueue.pop_front();
    lock.unlock();
    task();
    task = nullptr;
    lock.lock();
  }
}

}  // namespace kelvane
