#pragma once

// The readme the tool leaves in "Docs/readme.txt" after a successful run.

#include <string>

#include "ucTime.h"

namespace kelvane {

// The readme's text, every line ended by "\r\n". `startTime` is the text of
// the certificate's start time, `loginURL` the preview exactly as shown.
std::string BuildReadme(const std::string& startTime, const std::string& loginURL);

// The start time as the readme shows it: the "LocalNow" text that was sent,
// read back with the same decimal separator, as short date and long time;
// the local time `now` when that text is empty or no such number.
std::string ReadmeStartTime(const std::string& localNow, char decimalSeparator, const LocalTime& now);

}  // namespace kelvane
