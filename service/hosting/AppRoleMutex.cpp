#include "AppRoleMutex.h"

namespace kelvane {

std::string AppRoleMutexName(const std::string& ID, int Number) {
  return "AppRoleMutex/" + ID + "/" + std::to_string(Number);
}

}  // namespace kelvane
