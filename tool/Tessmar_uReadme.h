#pragma once

// The readme the tool leaves in "Docs/readme.txt" after a successful run.

#include <string>

#include "ucTime.h"

namespace kelvane {

// The readme's text, every line ended by "\r\n". `startTime` is the text of
// the certificate's start time ("" when the service obtains the certificate
// itself), `loginURL` the preview exactly as shown, `note` lines about the
// certificate (ended by "\r\n") appended after an empty line, or "".
std::string BuildReadme(const std::string& startTime, const std::string& loginURL, const std::string& note = "");

// The start time as the readme shows it: the "LocalNow" text that was sent,
// read back with the same decimal separator, as short date and long time;
// the local time `now` when that text is empty or no such number.
std::string ReadmeStartTime(const std::string& localNow, char decimalSeparator, const LocalTime& now);

}  // namespace kelvane
