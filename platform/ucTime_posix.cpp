#include "ucTime.h"

#include <ctime>
#include <cstdio>

namespace kelvane {

Clock SystemClock() {
  return [] { return std::chrono::system_clock::now(); };
}

LocalTime ToLocalTime(TimePoint when) {
  const std::time_t seconds = std::chrono::system_clock::to_time_t(when);
  std::tm tm {};
  ::localtime_r(&seconds, &tm);
  const auto sinceEpoch = when.time_since_epoch();
  const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(sinceEpoch) -
                  std::chrono::duration_cast<std::chrono::seconds>(sinceEpoch);
  LocalTime result;
  result.Year = tm.tm_year + 1900;
  result.Month = tm.tm_mon + 1;
  result.Day = tm.tm_mday;
  result.Hour = tm.tm_hour;
  result.Minute = tm.tm_min;
  result.Second = tm.tm_sec;
  result.Millisecond = static_cast<int>((ms.count() + 1000) % 1000);
  result.DayOfWeek = tm.tm_wday;
  result.IsDaylightTime = tm.tm_isdst > 0;
  result.UtcOffsetSeconds = tm.tm_gmtoff;
  return result;
}

bool TryEncodeUtc(int year, int month, int day, int hour, int minute, int second, TimePoint& result) {
  using namespace std::chrono;
  const year_month_day date{std::chrono::year{year}, std::chrono::month{static_cast<unsigned>(month)},
                            std::chrono::day{static_cast<unsigned>(day)}};
  if (year < 1 || year > 9999 || month < 1 || month > 12 || day < 1 || !date.ok()) return false;
  if (hour < 0 || hour > 23 || minute < 0 || minute > 59 || second < 0 || second > 59) return false;
  // A TimePoint counts nanoseconds in 64 bits, which covers the years 1678 to
  // 2261 only. Certificates use the years beyond (9999-12-31 stands for "no
  // expiry"): such a moment is held as the earliest or latest TimePoint
  // rather than overflowing.
  const sys_seconds moment = sys_days{date} + hours{hour} + minutes{minute} + seconds{second};
  constexpr sys_seconds earliest = time_point_cast<seconds>(TimePoint::min()) + seconds{1};
  constexpr sys_seconds latest = time_point_cast<seconds>(TimePoint::max()) - seconds{1};
  if (moment < earliest) {
    result = TimePoint::min();
  } else if (moment > latest) {
    result = TimePoint::max();
  } else {
    result = time_point_cast<TimePoint::duration>(moment);
  }
  return true;
}

const char* EnglishMonthAbbreviation(int month) {
  static const char* const names[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                      "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  return month >= 1 && month <= 12 ? names[month - 1] : "";
}

std::string FormatTimeStamp(const LocalTime& time) {
  char buffer[32];
  std::snprintf(buffer, sizeof buffer, "%02d-%s-%04d %02d:%02d:%02d", time.Day,
                EnglishMonthAbbreviation(time.Month), time.Year, time.Hour, time.Minute, time.Second);
  return buffer;
}

std::string FormatFileDate(const LocalTime& time) {
  char buffer[16];
  std::snprintf(buffer, sizeof buffer, "%04d-%02d-%02d", time.Year, time.Month, time.Day);
  return buffer;
}

}  // namespace kelvane
