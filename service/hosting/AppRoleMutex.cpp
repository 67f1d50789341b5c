#include "AppRoleMutex.h"

namespace kelvane {

TNamedMutex::TNamedMutex(const std::string& Name) : FName(Name), FLock(NamedLockFilePath(Name)) {}

bool TNamedMutex::WaitFor(std::chrono::milliseconds Timeout) { return FLock.TryLockFor(Timeout); }

void TNamedMutex::Release() { FLock.Unlock(); }

std::string AppRoleMutexName(const std::string& ID, int Number) {
  return "AppRoleMutex/" + ID + "/" + std::to_string(Number);
}

}  // namespace kelvane
