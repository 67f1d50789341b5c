#pragma once

// Date and time the way the configuration tool exchanges and shows them: a
// date-time number (days since 30 December 1899, the fraction being the time
// of day) written in the general number format, and the locale's short-date
// and long-time text.

#include <string>

#include "ucTime.h"

namespace kelvane {

// Days since 30 December 1899 00:00 of the local date and time given.
double DateTimeFromLocalTime(const LocalTime& time);

// The local date and time of a date-time number (to the millisecond).
LocalTime LocalTimeFromDateTime(double value);

// The number with up to 15 significant digits, no exponent for ordinary
// dates, and `decimalSeparator` in place of the point.
std::string FormatDateTimeNumber(double value, char decimalSeparator);

// Reads a text written by FormatDateTimeNumber with the same separator. False
// when the text is not such a number.
bool ParseDateTimeNumber(const std::string& text, char decimalSeparator, double& value);

// The decimal separator of the current locale.
char LocaleDecimalSeparator();

// The locale's short date, one space and its long time ("%x %X").
std::string FormatShortDateLongTime(const LocalTime& time);

}  // namespace kelvane
