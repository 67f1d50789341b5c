#include "ucOpenFiles.h"

#include <filesystem>
#include <system_error>

namespace kelvane {

std::size_t CountOpenFiles() {
  std::error_code ec;
  std::size_t count = 0;
  for (std::filesystem::directory_iterator it("/proc/self/fd", ec), end; !ec && it != end; it.increment(ec)) ++count;
  // The directory listing itself held one descriptor while it was read.
  return ec || count == 0 ? 0 : count - 1;
}

}  // namespace kelvane
