#include "ucProgramFile.h"

#include <unistd.h>

#include <vector>

namespace kelvane {

std::string ProgramFilePath() {
  std::vector<char> buffer(4096);
  const ssize_t length = ::readlink("/proc/self/exe", buffer.data(), buffer.size() - 1);
  if (length <= 0) return {};
  return std::string(buffer.data(), static_cast<std::size_t>(length));
}

}  // namespace kelvane
