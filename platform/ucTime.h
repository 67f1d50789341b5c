#pragma once

// Local time and the fixed, locale-free text forms the system writes:
// "dd-mmm-yyyy hh:mm:ss" with English month abbreviations, and "yyyy-mm-dd".

#include <chrono>
#include <functional>
#include <string>

namespace kelvane {

using TimePoint = std::chrono::system_clock::time_point;

// A source of the current time; tests hand in their own to move midnight.
using Clock = std::function<TimePoint()>;
Clock SystemClock();

struct LocalTime {
  int Year = 0;
  int Month = 0;  // 1..12
  int Day = 0;    // 1..31
  int Hour = 0;
  int Minute = 0;
  int Second = 0;
  int Millisecond = 0;
  int DayOfWeek = 0;         // 0 = Sunday
  bool IsDaylightTime = false;
  long UtcOffsetSeconds = 0;  // east of UTC is positive
};

LocalTime ToLocalTime(TimePoint when);

// "09-Jan-2013 07:50:29"
std::string FormatTimeStamp(const LocalTime& time);

// "2013-01-09"
std::string FormatFileDate(const LocalTime& time);

// The moment of a UTC calendar date and time. False when a field is out of
// range (month 1..12, day valid for the month, 24-hour time, year 1..9999).
// A moment TimePoint cannot hold (before 1678, after 2261) comes back as
// TimePoint::min() or TimePoint::max().
bool TryEncodeUtc(int year, int month, int day, int hour, int minute, int second, TimePoint& result);

// "Jan" .. "Dec" for 1..12.
const char* EnglishMonthAbbreviation(int month);

}  // namespace kelvane
