#pragma once

// When a certificate is due for renewal. A pure rule of its validity period:
// by default when a third of the lifetime is left; an administrator's
// "days before expiry" replaces that, unless the certificate lives so short
// that the window would cover half its life or more (six-day certificates
// with a 30-day setting), where the third rule applies again.
// An ACME server that suggests a renewal window of its own overrides both:
// the certificate is then due at a moment drawn at random within that
// window, so that its clients do not all come at its start.

#include <optional>

#include "ucTime.h"

namespace kelvane {

TimePoint RenewalTime(TimePoint notBefore, TimePoint notAfter, std::optional<int> renewDaysBefore = std::nullopt);

inline bool RenewalDue(TimePoint now, TimePoint notBefore, TimePoint notAfter,
                       std::optional<int> renewDaysBefore = std::nullopt) {
  return now >= RenewalTime(notBefore, notAfter, renewDaysBefore);
}

// The window an ACME server suggests for renewing one certificate, from
// Start (included) to End (excluded).
struct TRenewalWindow {
  TimePoint Start{};
  TimePoint End{};
};

// `fraction` in [0, 1) picks the moment within the suggested window (values
// outside are clamped into it); without a window the rule above applies. A
// window that has already ended gives a moment in the past: due at once.
TimePoint RenewalTime(const std::optional<TRenewalWindow>& suggested, double fraction, TimePoint notBefore,
                      TimePoint notAfter, std::optional<int> renewDaysBefore = std::nullopt);

}  // namespace kelvane
