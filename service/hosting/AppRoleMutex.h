#pragma once

// The instance registry's lock across processes, a system-wide named mutex
// (ucNamedMutex.h) named "AppRoleMutex/<id>/0". A lock left by a process that
// died is free again.

#include <stdexcept>
#include <string>

namespace kelvane {

class ELockTimeout : public std::runtime_error {
 public:
  ELockTimeout() : std::runtime_error("Mutex lock timeout") {}
};

// "AppRoleMutex/%s/%d" with the ID and the number.
std::string AppRoleMutexName(const std::string& ID, int Number);

}  // namespace kelvane
