#pragma once

// A value that one thread replaces as a whole while others read it: a reader
// takes the current version and keeps it alive as long as it needs, so it sees
// either the version before a replacement or the one after, never a mixture.

#include <memory>
#include <mutex>
#include <utility>

namespace kelvane {

template <typename T>
class TSnapshot {
 public:
  TSnapshot() : FValue(std::make_shared<const T>()) {}
  explicit TSnapshot(T Value) : FValue(std::make_shared<const T>(std::move(Value))) {}
  TSnapshot(const TSnapshot&) = delete;
  TSnapshot& operator=(const TSnapshot&) = delete;

  std::shared_ptr<const T> Load() const {
    std::lock_guard<std::mutex> guard(FLock);
    return FValue;
  }

  // A copy of the current version.
  T Get() const { return *Load(); }

  void Store(T Value) {
    std::shared_ptr<const T> next = std::make_shared<const T>(std::move(Value));
    std::lock_guard<std::mutex> guard(FLock);
    // The old version, now in `next`, is freed after the lock is given up.
    FValue.swap(next);
  }

 private:
  mutable std::mutex FLock;
  std::shared_ptr<const T> FValue;
};

}  // namespace kelvane
