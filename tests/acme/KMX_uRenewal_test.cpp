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

// A server's suggested window replaces the rule, earlier or later; the
// fraction picks the moment within it.
TEST(Renewal, SuggestedWindowRuleTable) {
  const TimePoint issued = std::chrono::system_clock::from_time_t(1700000000);
  const TimePoint expires = issued + 90 * Day;
  const TimePoint now = issued + 65 * Day;  // the usual rule made it due at day 60
  const auto window = [&](int fromDay, int toDay) {
    return std::optional<TRenewalWindow>(TRenewalWindow{issued + fromDay * Day, issued + toDay * Day});
  };
  const struct {
    const char* Case;
    std::optional<TRenewalWindow> Suggested;
    double Fraction;
    TimePoint Expected;
    bool DueNow;
  } cases[] = {
      {"no window: a third left", std::nullopt, 0.5, issued + 60 * Day, true},
      {"window ahead postpones: its start", window(70, 72), 0.0, issued + 70 * Day, false},
      {"window ahead: its middle", window(70, 72), 0.5, issued + 71 * Day, false},
      {"window ahead: never its end", window(70, 72), 1.0, issued + 72 * Day - TimePoint::duration(1), false},
      {"window open now: early draw", window(60, 68), 0.25, issued + 62 * Day, true},
      {"window open now: late draw", window(60, 68), 0.75, issued + 66 * Day, false},
      {"window past: at once", window(20, 30), 0.5, issued + 25 * Day, true},
      {"empty window: its start", window(70, 70), 0.5, issued + 70 * Day, false},
  };
  for (const auto& c : cases) {
    const TimePoint at = RenewalTime(c.Suggested, c.Fraction, issued, expires);
    EXPECT_EQ(at, c.Expected) << c.Case;
    EXPECT_EQ(now >= at, c.DueNow) << c.Case;
  }
  // The days-before setting counts only without a window.
  EXPECT_EQ(RenewalTime(std::nullopt, 0.5, issued, expires, 10), issued + 80 * Day);
  EXPECT_EQ(RenewalTime(window(70, 72), 0.5, issued, expires, 10), issued + 71 * Day);
}

}  // namespace
}  // namespace kelvane
