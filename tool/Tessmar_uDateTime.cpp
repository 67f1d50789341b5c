#include "Tessmar_uDateTime.h"

#include <charconv>
#include <clocale>
#include <cmath>
#include <ctime>

namespace kelvane {
namespace {

// Days from 1 January 1970 of a proleptic Gregorian date (H. Hinnant's algorithm).
long DaysFromCivil(long year, long month, long day) {
  year -= month <= 2 ? 1 : 0;
  const long era = (year >= 0 ? year : year - 399) / 400;
  const long yearOfEra = year - era * 400;
  const long dayOfYear = (153 * (month + (month > 2 ? -3 : 9)) + 2) / 5 + day - 1;
  const long dayOfEra = yearOfEra * 365 + yearOfEra / 4 - yearOfEra / 100 + dayOfYear;
  return era * 146097 + dayOfEra - 719468;
}

void CivilFromDays(long days, int& year, int& month, int& day) {
  days += 719468;
  const long era = (days >= 0 ? days : days - 146096) / 146097;
  const long dayOfEra = days - era * 146097;
  const long yearOfEra = (dayOfEra - dayOfEra / 1460 + dayOfEra / 36524 - dayOfEra / 146096) / 365;
  const long dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
  const long monthIndex = (5 * dayOfYear + 2) / 153;
  day = static_cast<int>(dayOfYear - (153 * monthIndex + 2) / 5 + 1);
  month = static_cast<int>(monthIndex < 10 ? monthIndex + 3 : monthIndex - 9);
  year = static_cast<int>(yearOfEra + era * 400 + (month <= 2 ? 1 : 0));
}

const long DateTimeEpochDays = DaysFromCivil(1899, 12, 30);

}  // namespace

double DateTimeFromLocalTime(const LocalTime& time) {
  const long days = DaysFromCivil(time.Year, time.Month, time.Day) - DateTimeEpochDays;
  const double milliseconds = ((time.Hour * 60.0 + time.Minute) * 60.0 + time.Second) * 1000.0 + time.Millisecond;
  return static_cast<double>(days) + milliseconds / 86400000.0;
}

LocalTime LocalTimeFromDateTime(double value) {
  LocalTime time;
  const double wholeDays = std::floor(value);
  long milliseconds = std::lround((value - wholeDays) * 86400000.0);
  long days = static_cast<long>(wholeDays);
  if (milliseconds >= 86400000) {
    milliseconds -= 86400000;
    ++days;
  }
  CivilFromDays(days + DateTimeEpochDays, time.Year, time.Month, time.Day);
  time.DayOfWeek = static_cast<int>(((days + DateTimeEpochDays) % 7 + 11) % 7);  // 1 Jan 1970 was a Thursday
  time.Hour = static_cast<int>(milliseconds / 3600000);
  time.Minute = static_cast<int>(milliseconds / 60000 % 60);
  time.Second = static_cast<int>(milliseconds / 1000 % 60);
  time.Millisecond = static_cast<int>(milliseconds % 1000);
  return time;
}

std::string FormatDateTimeNumber(double value, char decimalSeparator) {
  char buffer[64];
  const auto result = std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::general, 15);
  std::string text(buffer, result.ptr);
  for (char& c : text) {
    if (c == '.') c = decimalSeparator;
  }
  return text;
}

bool ParseDateTimeNumber(const std::string& text, char decimalSeparator, double& value) {
  std::string plain = text;
  for (char& c : plain) {
    if (c == decimalSeparator) c = '.';
    else if (c == '.') return false;
  }
  if (plain.empty()) return false;
  const auto result = std::from_chars(plain.data(), plain.data() + plain.size(), value, std::chars_format::general);
  return result.ec == std::errc() && result.ptr == plain.data() + plain.size() && std::isfinite(value);
}

char LocaleDecimalSeparator() {
  const std::lconv* conventions = std::localeconv();
  if (conventions == nullptr || conventions->decimal_point == nullptr || conventions->decimal_point[0] == '\0') {
    return '.';
  }
  return conventions->decimal_point[0];
}

std::string FormatShortDateLongTime(const LocalTime& time) {
  std::tm tm{};
  tm.tm_year = time.Year - 1900;
  tm.tm_mon = time.Month - 1;
  tm.tm_mday = time.Day;
  tm.tm_hour = time.Hour;
  tm.tm_min = time.Minute;
  tm.tm_sec = time.Second;
  tm.tm_wday = time.DayOfWeek;
  tm.tm_isdst = time.IsDaylightTime ? 1 : 0;
  char buffer[128];
  const size_t length = std::strftime(buffer, sizeof buffer, "%x %X", &tm);
  return std::string(buffer, length);
}

}  // namespace kelvane
