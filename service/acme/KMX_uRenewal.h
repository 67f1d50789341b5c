#pragma once

// When a certificate is due for renewal. A pure rule of its validity period:
// by default when a third of the lifetime is left; an administrator's
// "days before expiry" replaces that, unless the certificate lives so short
// that the window would cover half its life or more (six-day certificates
// with a 30-day setting), where the third rule applies again.

#include <optional>

#include "ucTime.h"

namespace kelvane {

TimePoint RenewalTime(TimePoint notBefore, TimePoint notAfter, std::optional<int> renewDaysBefore = std::nullopt);

inline bool RenewalDue(TimePoint now, TimePoint notBefore, TimePoint notAfter,
                       std::optional<int> renewDaysBefore = std::nullopt) {
  return now >= RenewalTime(notBefore, notAfter, renewDaysBefore);
}

}  // namespace kelvane
