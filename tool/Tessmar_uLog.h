#pragma once

// The configuration tool's two marker logs beside its program file: the cancel
// log (the person cancelled the installation) and the error log (every error
// the tool reported). Lines are UTF-16 little-endian text; a new file starts
// with the byte-order mark.

#include <string>

#include "ucTime.h"

namespace kelvane {

// The program path with its extension replaced by `suffix` (appended when the
// file name has no extension): "/opt/kelvane/tessmar" + "_error.log".
std::string LogFileName(const std::string& programPath, const std::string& suffix);

inline constexpr const char* CancelLogSuffix = "_cancel.log";
inline constexpr const char* ErrorLogSuffix = "_error.log";

// Appends "<short date> <long time> <message>\r\n". A failed write is tried
// again after a random pause of up to 59 ms, three tries in all; then the line
// is dropped without a report.
void AppendLogLine(const std::string& path, const std::string& message, const LocalTime& now);



}  // namespace kelvane
