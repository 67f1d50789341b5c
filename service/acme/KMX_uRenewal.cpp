#include "KMX_uRenewal.h"

#include <algorithm>

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

TimePoint RenewalTime(const std::optional<TRenewalWindow>& suggested, double fraction, TimePoint notBefore,
                      TimePoint notAfter, std::optional<int> renewDaysBefore) {
  if (!suggested) return RenewalTime(notBefore, notAfter, renewDaysBefore);
  const auto width = suggested->End - suggested->Start;
  if (width <= TimePoint::duration::zero()) return suggested->Start;
  // The offset stays below the width, so End itself is never chosen.
  const double within = std::clamp(fraction, 0.0, 1.0);
  const auto offset = std::min(std::chrono::duration_cast<TimePoint::duration>(width * within),
                               width - TimePoint::duration(1));
  return suggested->Start + offset;
}

}  // namespace kelvane
