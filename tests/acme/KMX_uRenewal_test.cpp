#include "KMX_uRenewal.h"

#include <gtest/gtest.h>

namespace kelvane {
namespace {

using std::chrono::hours;
constexpr auto Day = hours(24);

TEST(Renewal, TimeRuleTable) {
  const TimePoint start = std::chrono::system_clock::from_time_t(1700000000);
  const struct {
    const char* Case;
    hours Lifetime;
    std::optional<int> DaysBefore;
    hours RenewAfterStart;
  } cases[] = {
      {"90 days: a third left", 90 * Day, std::nullopt, 60 * Day},
      {"90 days, 30 days asked", 90 * Day, 30, 60 * Day},
      {"90 days, 7 days asked", 90 * Day, 7, 83 * Day},
      {"90 days, 0 days: at expiry", 90 * Day, 0, 90 * Day},
      {"six days: own lifetime", 6 * Day, std::nullopt, 4 * Day},
      {"six days, 30 days asked: own lifetime", 6 * Day, 30, 4 * Day},
      {"six days, 3 days asked is half: own lifetime", 6 * Day, 3, 4 * Day},
      {"six days, 2 days asked", 6 * Day, 2, 4 * Day},
      {"six days, 1 day asked", 6 * Day, 1, 5 * Day},
      {"a year, 30 days asked", 365 * Day, 30, 335 * Day},
      {"negative days: default", 90 * Day, -5, 60 * Day},
      {"broken validity: at once", hours(0), std::nullopt, hours(0)},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(RenewalTime(start, start + c.Lifetime, c.DaysBefore), start + c.RenewAfterStart) << c.Case;
    const TimePoint when = start + c.RenewAfterStart;
    EXPECT_TRUE(RenewalDue(when, start, start + c.Lifetime, c.DaysBefore)) << c.Case;
    EXPECT_FALSE(RenewalDue(when - std::chrono::seconds(1), start, start + c.Lifetime, c.DaysBefore)) << c.Case;
  }
}

}  // namespace
}  // namespace kelvane
