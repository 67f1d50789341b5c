#pragma once

#include <string>

namespace kelvane {

// The message of the exception being handled; call it inside a catch block.
std::string CurrentExceptionMessage();

}  // namespace kelvane
