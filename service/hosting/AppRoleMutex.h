#pragma once

// The instance registry's lock across processes, named "AppRoleMutex/<id>/0".
// Processes of every account share it; a lock left by a process that died is
// free again.

#include <chrono>
#include <stdexcept>
#include <string>

#include "ucFileLock.h"

namespace kelvane {

class ELockTimeout : public std::runtime_error {
 public:
  ELockTimeout() : std::runtime_error("Mutex lock timeout") {}
};

class TNamedMutex {
 public:
  explicit TNamedMutex(const std::string& Name);

  // Takes the mutex, waiting at most `Timeout`; false when it stayed taken.
  // Throws std::system_error when the mutex cannot be created.
  bool WaitFor(std::chrono::milliseconds Timeout);
  void Release();
  const std::string& Name() const { return FName; }

 private:
  std::string FName;
  TFileLock FLock;
};

// "AppRoleMutex/%s/%d" with the ID and the number.
std::string AppRoleMutexName(const std::string& ID, int Number);

}  // namespace kelvane
