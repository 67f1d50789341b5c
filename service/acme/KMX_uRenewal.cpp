#include "KMX_uRenewal.h"

namespace kelvane {

TimePoint RenewalTime(TimePoint notBefore, TimePoint notAfter, std::optional<int> renewDaysBefore) {
  if (notAfter <= notBefore) return notBefore;
  const auto lifetime = notAfter - notBefore;
  auto window = lifetime / 3;
  if (renewDaysBefore && *renewDaysBefore >= 0) {
    const auto requested = std::chrono::duration_cast<TimePoint::duration>(std::chrono::hours(24) * *renewDaysBefore);
    if (requested < lifetime / 2) window = requested;
  }
  return notAfter - window;
}

}  // namespace kelvane
