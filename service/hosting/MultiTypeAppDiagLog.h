#pragma once

// The dated diagnostic log beside the program file: <name>.testing.<yymmdd>.log,
// UTF-16 little-endian with a byte-order mark, one line per call:
// "<yyyy-MMM-dd hh:mm:ss:zzz>\t(<category>)\t<detail>\t<text>\r\n".

#include <string>

#include "ucTime.h"

namespace kelvane {

// The log file for the program file on the given day.
std::string DiagnosticLogPath(const std::string& ProgramPath, const LocalTime& Day);

// The line as text, before its conversion to UTF-16.
std::string FormatDiagnosticLine(const LocalTime& Time, const std::string& Category, const std::string& Detail,
                                 const std::string& Text);

// Appends one line. The file is open only while the line is written, and
// other writers are shut out meanwhile. A line that cannot be written is
// dropped.
void WriteDiagnosticLine(const std::string& ProgramPath, const Clock& Now, const std::string& Category,
                         const std::string& Detail, const std::string& Text);



}  // namespace kelvane
