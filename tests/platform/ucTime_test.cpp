#include "ucTime.h"

#include <gtest/gtest.h>

#include <clocale>
#include <cstdlib>

namespace kelvane {
namespace {

TEST(ucTime, FormatsWithEnglishMonthsWhateverTheLocale) {
  std::setlocale(LC_ALL, "de_DE.UTF-8");  // ignored where the locale is missing
  LocalTime time;
  time.Year = 2013;
  time.Month = 1;
  time.Day = 9;
  time.Hour = 7;
  time.Minute = 50;
  time.Second = 29;
  EXPECT_EQ(FormatTimeStamp(time), "09-Jan-2013 07:50:29");
  EXPECT_EQ(FormatFileDate(time), "2013-01-09");
  time.Month = 12;
  EXPECT_EQ(FormatTimeStamp(time), "09-Dec-2013 07:50:29");
  std::setlocale(LC_ALL, "C");
}

TEST(ucTime, ConvertsToLocalTimeWithOffset) {
  ::setenv("TZ", "UTC-2", 1);  // two hours east of UTC
  ::tzset();
  LocalTime time = ToLocalTime(std::chrono::system_clock::from_time_t(0) + std::chrono::milliseconds(1500));
  EXPECT_EQ(FormatTimeStamp(time), "01-Jan-1970 02:00:01");
  EXPECT_EQ(time.Millisecond, 500);
  EXPECT_EQ(time.UtcOffsetSeconds, 7200);
  ::unsetenv("TZ");
  ::tzset();
}

}  // namespace
}  // namespace kelvane
