#include "KMX_uLog.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <set>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "FakeClock.h"
#include "TempDir.h"

namespace kelvane {
namespace {

using testing::FakeClock;
using testing::LocalTimePoint;
using testing::ReadFile;
using testing::TempDir;

// 09-Jan-2013 07:50:29 local time.
TimePoint Jan9() { return LocalTimePoint(2013, 1, 9, 7, 50, 29); }

class LogTest : public ::testing::Test {
 protected:
  std::string HistoryFile(const std::string& date) const { return dir.Path() + "Logs/History/History_" + date + ".log"; }
  std::string ErrorFile(const std::string& date) const { return dir.Path() + "Logs/Errors/Errors_" + date + ".log"; }

  TempDir dir;
  FakeClock clock{Jan9()};
  TLog log{dir.Path(), clock.AsClock()};
};

TEST_F(LogTest, WritesDailyFilesOfTimeStampTabTextAndCrLf) {
  log.UpdatePath("Logs");
  log.WriteHistory("admin", "10.0.0.5", "Reboot");
  log.WriteError("User 'M\xFCller' at ip 10.0.0.7 was not authorized.");
  clock.Advance(std::chrono::seconds(1));
  log.WriteHistory("bob", "10.0.0.6", "Reload Configuration");

  // No byte-order mark, lines appended, 8-bit text passed through as bytes.
  EXPECT_EQ(ReadFile(HistoryFile("2013-01-09")),
            "09-Jan-2013 07:50:29\tadmin\tat ip 10.0.0.5\tReboot\r\n"
            "09-Jan-2013 07:50:30\tbob\tat ip 10.0.0.6\tReload Configuration\r\n");
  EXPECT_EQ(ReadFile(ErrorFile("2013-01-09")),
            "09-Jan-2013 07:50:29\tUser 'M\xFCller' at ip 10.0.0.7 was not authorized.\r\n");
}

TEST_F(LogTest, ALineAfterMidnightGoesToTheNextDaysFile) {
  log.UpdatePath("Logs");
  clock.Set(LocalTimePoint(2013, 1, 9, 23, 59, 59));
  log.WriteHistory("admin", "10.0.0.5", "Reboot");
  clock.Advance(std::chrono::seconds(2));
  log.WriteHistory("admin", "10.0.0.5", "Shutdown");

  EXPECT_EQ(ReadFile(HistoryFile("2013-01-09")), "09-Jan-2013 23:59:59\tadmin\tat ip 10.0.0.5\tReboot\r\n");
  EXPECT_EQ(ReadFile(HistoryFile("2013-01-10")), "10-Jan-2013 00:00:01\tadmin\tat ip 10.0.0.5\tShutdown\r\n");
}

TEST_F(LogTest, SecurityNoteReportsThePreviousActionOfTheUser) {
  log.UpdatePath("Logs");
  EXPECT_EQ(log.GetSecurityNote("admin"), "It was the first usage by admin");
  log.WriteHistory("admin", "10.0.0.5", "Reboot");

  clock.Advance(std::chrono::hours(30));  // the next action comes a day later
  EXPECT_EQ(log.GetSecurityNote("Admin"), "Prior usage was on 09-Jan-2013 07:50:29.");
  log.WriteHistory("Admin", "10.0.0.5", "Reload Configuration");

  clock.Advance(std::chrono::minutes(5));
  EXPECT_EQ(log.GetSecurityNote("admin"), "Prior usage was on 10-Jan-2013 13:50:29.");
  EXPECT_EQ(log.GetSecurityNote("bob"), "It was the first usage by bob");
  EXPECT_FALSE(std::filesystem::exists(ErrorFile("2013-01-10")));

  // Names beyond ASCII match without regard to case too.
  log.WriteHistory("J\xC3\xBCrgen", "10.0.0.5", "Reboot");
  EXPECT_EQ(log.GetSecurityNote("J\xC3\x9CRGEN"), "Prior usage was on 10-Jan-2013 13:55:29.");
}

std::string HistoryLine(const std::string& stamp, const std::string& user) {
  return stamp + "\t" + user + "\tat ip 10.0.0.5\tReboot\r\n";
}

struct NoteCase {
  const char* name;
  std::vector<std::pair<std::string, std::string>> files;  // name below Logs/History/, content
  std::string user;
  std::string note;
};

TEST_F(LogTest, SecurityNoteFindsTheNewestLineOfExactlyThatUser) {
  const std::vector<NoteCase> cases = {
      {"no history folder at all", {}, "admin", "It was the first usage by admin"},
      {"newest line of the user in the file",
       {{"History_2013-01-09.log", HistoryLine("09-Jan-2013 07:00:00", "admin") +
                                       HistoryLine("09-Jan-2013 08:00:00", "admin") +
                                       HistoryLine("09-Jan-2013 09:00:00", "bob")}},
       "admin",
       "Prior usage was on 09-Jan-2013 08:00:00."},
      {"name compared ignoring ASCII case",
       {{"History_2013-01-09.log", HistoryLine("09-Jan-2013 07:00:00", "admin")}},
       "ADMIN",
       "Prior usage was on 09-Jan-2013 07:00:00."},
      {"longer names holding the user name do not count",
       {{"History_2013-01-09.log", HistoryLine("09-Jan-2013 07:00:00", "admin") +
                                       HistoryLine("09-Jan-2013 08:00:00", "sysadmin") +
                                       HistoryLine("09-Jan-2013 09:00:00", "admin2") +
                                       HistoryLine("09-Jan-2013 10:00:00", "the admin")}},
       "admin",
       "Prior usage was on 09-Jan-2013 07:00:00."},
      {"only other users",
       {{"History_2013-01-09.log", HistoryLine("09-Jan-2013 07:00:00", "bob")}},
       "admin",
       "It was the first usage by admin"},
      {"older files are searched when newer ones lack the user",
       {{"History_2013-01-07.log", HistoryLine("07-Jan-2013 07:00:00", "admin")},
        {"History_2013-01-08.log", HistoryLine("08-Jan-2013 07:00:00", "admin")},
        {"History_2013-01-09.log", HistoryLine("09-Jan-2013 07:00:00", "bob")}},
       "admin",
       "Prior usage was on 08-Jan-2013 07:00:00."},
      {"file names ordered ignoring case, other names ignored",
       {{"History_2013-01-08.log", HistoryLine("08-Jan-2013 07:00:00", "admin")},
        {"history_2013-01-09.LOG", HistoryLine("09-Jan-2013 07:00:00", "admin")},
        {"History_2013-01-10.txt", HistoryLine("10-Jan-2013 07:00:00", "admin")},
        {"Errors_2013-01-11.log", HistoryLine("11-Jan-2013 07:00:00", "admin")}},
       "admin",
       "Prior usage was on 09-Jan-2013 07:00:00."},
      {"lines ended by LF alone",
       {{"History_2013-01-09.log", "09-Jan-2013 07:00:00\tadmin\tat ip 1.2.3.4\tReboot\n"
                                   "09-Jan-2013 08:00:00\tbob\tat ip 1.2.3.4\tReboot\n"}},
       "admin",
       "Prior usage was on 09-Jan-2013 07:00:00."},
  };
  for (const NoteCase& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir app;
    for (const auto& [name, content] : c.files) app.WriteFile("Logs/History/" + name, content);
    TLog caseLog(app.Path(), clock.AsClock());
    caseLog.UpdatePath("Logs");
    EXPECT_EQ(caseLog.GetSecurityNote(c.user), c.note);
  }
}

TEST_F(LogTest, AnUnreadableHistoryFileIsReportedAndSkipped) {
  log.UpdatePath("Logs");
  dir.WriteFile("Logs/History/History_2013-01-08.log", HistoryLine("08-Jan-2013 07:00:00", "admin"));
  std::filesystem::create_directories(dir.Path() + "Logs/History/History_2013-01-09.log");

  EXPECT_EQ(log.GetSecurityNote("admin"), "Prior usage was on 08-Jan-2013 07:00:00.");
  const std::string errors = ReadFile(ErrorFile("2013-01-09"));
  EXPECT_NE(errors.find("History_2013-01-09.log"), std::string::npos) << errors;
}

struct PathCase {
  std::string applicationFolder;
  std::string setting;
  std::string logFolder;
};

TEST(TLogPath, FollowsTheLogFolderRules) {
  const std::vector<PathCase> cases = {
      {"/opt/kelvane/", "/var/log/kelvane", "/var/log/kelvane/"},
      {"/opt/kelvane/", "/var/log/kelvane/", "/var/log/kelvane/"},
      {"/opt/kelvane/", "MyLogs", "/opt/kelvane/MyLogs/"},
      {"/opt/kelvane/", "Logs\\", "/opt/kelvane/Logs\\"},
      {"/opt/kelvane/", "", "/opt/kelvane/Logs/"},
      {"/opt/kelvane/", "D:\\Logs", "D:\\Logs/"},
      {"/opt/kelvane/", "logs:old", "logs:old/"},
      {"C:\\Program Files\\Kelvane\\", "\\Logs", "C:\\Logs/"},
      {"C:\\Program Files\\Kelvane\\", "MyLogs", "C:\\Program Files\\Kelvane\\MyLogs/"},
      {"\\\\server\\share\\Kelvane\\", "\\Logs", "\\\\server\\share\\Logs/"},
      {"/opt/kelvane/", "\\Logs", "\\Logs/"},
  };
  for (const PathCase& c : cases) {
    SCOPED_TRACE(c.applicationFolder + " + " + c.setting);
    TLog log(c.applicationFolder);
    EXPECT_EQ(log.LogFolderPath(), "");
    log.UpdatePath(c.setting);
    EXPECT_EQ(log.LogFolderPath(), c.logFolder);
  }
}

TEST(TLogPath, AnEmptySettingKeepsTheFolderSetBefore) {
  TLog log("/opt/kelvane/");
  log.UpdatePath("/var/log/kelvane");
  log.UpdatePath("");
  EXPECT_EQ(log.LogFolderPath(), "/var/log/kelvane/");
}

TEST_F(LogTest, RelativeAndAbsoluteFoldersAreWrittenWhereTheyPoint) {
  log.UpdatePath("My\\Logs");
  log.WriteError("relative");
  EXPECT_EQ(ReadFile(dir.Path() + "My/Logs/Errors/Errors_2013-01-09.log"), "09-Jan-2013 07:50:29\trelative\r\n");

  TempDir elsewhere;
  log.UpdatePath(elsewhere.Path() + "kelvane");
  log.WriteError("absolute");
  EXPECT_EQ(ReadFile(elsewhere.Path() + "kelvane/Errors/Errors_2013-01-09.log"), "09-Jan-2013 07:50:29\tabsolute\r\n");
}

TEST_F(LogTest, AnExistingFolderIsReusedWhateverTheCaseOfItsName) {
  dir.WriteFile("logs/history/History_2013-01-09.log", HistoryLine("09-Jan-2013 07:00:00", "admin"));
  log.UpdatePath("Logs");
  EXPECT_EQ(log.GetSecurityNote("admin"), "Prior usage was on 09-Jan-2013 07:00:00.");
  log.WriteHistory("admin", "10.0.0.5", "Reboot");
  EXPECT_EQ(ReadFile(dir.Path() + "logs/history/History_2013-01-09.log"),
            HistoryLine("09-Jan-2013 07:00:00", "admin") + HistoryLine("09-Jan-2013 07:50:29", "admin"));
  EXPECT_FALSE(std::filesystem::exists(dir.Path() + "Logs"));
}

TEST_F(LogTest, AnUnwritableFolderDropsLinesSilently) {
  log.WriteError("before any folder is set");  // nowhere to go yet: dropped
  // A regular file where a folder should be stops even a privileged user.
  dir.WriteFile("blocked", "not a folder");
  log.UpdatePath("blocked/Logs");
  log.WriteHistory("admin", "10.0.0.5", "Reboot");
  log.WriteError("lost");
  EXPECT_EQ(log.GetSecurityNote("admin"), "It was the first usage by admin");
  EXPECT_EQ(ReadFile(dir.Path() + "blocked"), "not a folder");

  std::vector<std::string> entries;
  for (const auto& entry : std::filesystem::directory_iterator(dir.Path())) entries.push_back(entry.path().filename());
  EXPECT_EQ(entries, std::vector<std::string>{"blocked"});
}

TEST(EscapeControlCharacters, MakesRemoteTextSafeForOneLogLine) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"admin", "admin"},
      {"", ""},
      {"a\r\n01-Jan-2013 00:00:00\tforged", "a\\r\\n01-Jan-2013 00:00:00\\tforged"},
      {std::string("x\0y", 3), "x\\x00y"},
      {"\x01\x1B\x1F\x7F", "\\x01\\x1B\\x1F\\x7F"},
      {"M\xFCller DOMAIN\\user", "M\xFCller DOMAIN\\user"},
  };
  for (const auto& [text, escaped] : cases) EXPECT_EQ(EscapeControlCharacters(text), escaped);
}

TEST_F(LogTest, AMessageWithLineBreaksStaysOneLine) {
  log.UpdatePath("Logs");
  log.WriteError("OpenSSL list: \r\nfirst\nsecond\rthird");
  EXPECT_EQ(ReadFile(ErrorFile("2013-01-09")), "09-Jan-2013 07:50:29\tOpenSSL list: \\r\\nfirst\\nsecond\\rthird\r\n");
}

TEST_F(LogTest, ConcurrentWritersNeitherInterleaveNorLoseLines) {
  log.UpdatePath("Logs");
  constexpr int Threads = 8;
  constexpr int LinesPerThread = 200;
  // Long lines, so that a torn write would show.
  const std::string padding(3000, 'p');
  std::vector<std::thread> writers;
  for (int t = 0; t < Threads; ++t) {
    writers.emplace_back([&, t] {
      for (int i = 0; i < LinesPerThread; ++i) {
        log.WriteError("thread " + std::to_string(t) + " line " + std::to_string(i) + " " + padding);
      }
    });
  }
  for (std::thread& writer : writers) writer.join();

  const std::string content = ReadFile(ErrorFile("2013-01-09"));
  std::set<std::string> seen;
  size_t start = 0;
  while (start < content.size()) {
    const size_t end = content.find("\r\n", start);
    ASSERT_NE(end, std::string::npos);
    const std::string line = content.substr(start, end - start);
    const std::string prefix = "09-Jan-2013 07:50:29\tthread ";
    ASSERT_EQ(line.compare(0, prefix.size(), prefix), 0) << line.substr(0, 80);
    ASSERT_EQ(line.size() - line.rfind(' ') - 1, padding.size()) << line.substr(0, 80);
    EXPECT_TRUE(seen.insert(line.substr(prefix.size(), line.rfind(' ') - prefix.size())).second);
    start = end + 2;
  }
  EXPECT_EQ(seen.size(), static_cast<size_t>(Threads * LinesPerThread));
}

}  // namespace
}  // namespace kelvane
