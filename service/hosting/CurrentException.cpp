#include "CurrentException.h"

#include <exception>

namespace kelvane {

std::string CurrentExceptionMessage() {
  try {
    throw;
  } catch (const std::exception& e) {
    return e.what();
  } catch (...) {
    return "unknown error";
  }
}

}  // namespace kelvane
