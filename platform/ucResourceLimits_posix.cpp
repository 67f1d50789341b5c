#include "ucResourceLimits.h"

#include <sys/resource.h>

namespace kelvane {

std::size_t RaiseOpenFileLimit() {
  rlimit limit{};
  if (::getrlimit(RLIMIT_NOFILE, &limit) != 0) return 1024;
  if (limit.rlim_cur < limit.rlim_max) {
    rlimit raised = limit;
    // An unlimited hard limit cannot be taken literally for descriptors; the
    // kernel's usual ceiling (nr_open) is plenty for us.
    raised.rlim_cur = raised.rlim_max == RLIM_INFINITY ? 1 << 20 : raised.rlim_max;
    if (::setrlimit(RLIMIT_NOFILE, &raised) == 0) limit = raised;
  }
  return limit.rlim_cur == RLIM_INFINITY ? static_cast<std::size_t>(1) << 20 : static_cast<std::size_t>(limit.rlim_cur);
}

}  // namespace kelvane
