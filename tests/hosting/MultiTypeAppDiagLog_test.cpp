#include "MultiTypeAppDiagLog.h"

#include <gtest/gtest.h>

#include <ctime>

#include "TempDir.h"
#include "ucText.h"

namespace kelvane {
namespace {

using kelvane::testing::ReadFile;
using kelvane::testing::TempDir;

LocalTime May21Of2013() {
  LocalTime time;
  time.Year = 2013;
  time.Month = 5;
  time.Day = 21;
  time.Hour = 7;
  time.Minute = 5;
  time.Second = 9;
  time.Millisecond = 42;
  return time;
}

TEST(MultiTypeAppDiagLog, FileIsNamedAfterTheProgramAndTheDay) {
  EXPECT_EQ(DiagnosticLogPath("/opt/kelvane/vardex", May21Of2013()), "/opt/kelvane/vardex.testing.130521.log");
  EXPECT_EQ(DiagnosticLogPath("/opt/kelvane/vardex.bin", May21Of2013()), "/opt/kelvane/vardex.testing.130521.log");
  EXPECT_EQ(FormatDiagnosticLine(May21Of2013(), "info", "", "service is already installed"),
            "2013-May-21 07:05:09:042\t(info)\t\tservice is already installed\r\n");
}

TEST(MultiTypeAppDiagLog, NewFileStartsWithTheMarkAndLinesAreAppendedInUtf16) {
  TempDir folder;
  const std::string program = folder.Path() + "vardex";
  // Noon keeps the day the same in every time zone.
  std::tm noon {};
  noon.tm_year = 113;
  noon.tm_mon = 4;
  noon.tm_mday = 21;
  noon.tm_hour = 12;
  noon.tm_isdst = -1;
  const TimePoint when = std::chrono::system_clock::from_time_t(std::mktime(&noon));
  const Clock clock = [when] { return when; };

  WriteDiagnosticLine(program, clock, "info", "", "one");
  WriteDiagnosticLine(program, clock, "info", "detail", "zw\xC3\xB6lf");
  const std::string content = ReadFile(folder.Path() + "vardex.testing.130521.log");
  const std::string first = Utf8ToUtf16LE(FormatDiagnosticLine(ToLocalTime(when), "info", "", "one"));
  const std::string second = Utf8ToUtf16LE(FormatDiagnosticLine(ToLocalTime(when), "info", "detail", "zw\xC3\xB6lf"));
  EXPECT_EQ(content, std::string("\xFF\xFE", 2) + first + second);
  EXPECT_NE(second.find(std::string("\xF6\x00", 2)), std::string::npos);
}

TEST(MultiTypeAppDiagLog, LineThatCannotBeWrittenIsDropped) {
  TempDir folder;
  // The program's "folder" is a file, so no log can be made beside it.
  folder.WriteFile("blocker", "x");
  EXPECT_NO_THROW(WriteDiagnosticLine(folder.Path() + "blocker/vardex", SystemClock(), "info", "", "lost"));
}

}  // namespace
}  // namespace kelvane
