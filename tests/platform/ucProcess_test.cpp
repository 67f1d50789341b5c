#include "ucProcess.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <filesystem>
#include <fstream>
#include <thread>

#include "TempDir.h"

namespace kelvane {
namespace {

using namespace std::chrono_literals;
using testing::TempDir;

constexpr auto Generous = 30s;

// A script that prints how it was called: "$0|arg|arg|".
std::string WriteEchoScript(const TempDir& dir, const std::string& relative) {
  const std::string path = dir.WriteFile(relative, "#!/bin/sh\nprintf '%s|' \"$0\" \"$@\"\n");
  std::filesystem::permissions(path, std::filesystem::perms::owner_all);
  return path;
}

size_t OpenDescriptorCount() {
  size_t count = 0;
  for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) ++count;
  return count;
}

// True while the process exists and is not a zombie.
bool IsAlive(const std::string& pid) {
  std::ifstream stat("/proc/" + pid + "/stat");
  std::string line;
  if (!std::getline(stat, line)) return false;
  const size_t close = line.rfind(')');
  return close != std::string::npos && close + 2 < line.size() && line[close + 2] != 'Z';
}

// A killed process that is not our child dies on its own time: give it a few
// seconds before calling it a survivor.
bool DiesSoon(const std::string& pid) {
  const auto until = std::chrono::steady_clock::now() + 5s;
  while (IsAlive(pid)) {
    if (std::chrono::steady_clock::now() > until) return false;
    std::this_thread::sleep_for(10ms);
  }
  return true;
}

bool HasUnreapedChildren() {
  int status = 0;
  return ::waitpid(-1, &status, WNOHANG) != -1 || errno != ECHILD;
}

struct EndCase {
  const char* CommandLine;
  TProcessEnd End;
  int ExitStatus;
  int Signal;
};

TEST(ucProcess, ReportsHowTheProgramEnded) {
  const EndCase cases[] = {
      {R"(/bin/sh -c "exit 0")", TProcessEnd::Exited, 0, 0},
      {R"(/bin/sh -c "exit 3")", TProcessEnd::Exited, 3, 0},
      {R"(sh -c "exit 255")", TProcessEnd::Exited, 255, 0},
      {R"(/bin/sh -c "kill -TERM $$")", TProcessEnd::Signalled, -1, 15},
  };
  for (const EndCase& c : cases) {
    const TProcessRun run = RunProcess(c.CommandLine, Generous);
    EXPECT_EQ(run.StartError, 0) << c.CommandLine;
    EXPECT_EQ(run.Status.End, c.End) << c.CommandLine;
    EXPECT_EQ(run.Status.ExitStatus, c.ExitStatus) << c.CommandLine;
    EXPECT_EQ(run.Status.Signal, c.Signal) << c.CommandLine;
    EXPECT_EQ(run.Status.Succeeded(), c.End == TProcessEnd::Exited && c.ExitStatus == 0) << c.CommandLine;
  }
}

TEST(ucProcess, StandardInputIsEmptySoAReaderEndsAtOnce) {
  const TProcessRun run = RunProcess("cat", Generous);
  EXPECT_TRUE(run.Status.Succeeded());
  EXPECT_EQ(run.Output, "");
}

TEST(ucProcess, ProgramPathWithBlanksNeedsNoQuotes) {
  TempDir dir;
  const std::string program = WriteEchoScript(dir, "my dir/prog");
  TProcessRun run = RunProcess(program + R"( one "two words")", Generous);
  EXPECT_TRUE(run.Status.Succeeded());
  EXPECT_EQ(run.Output, program + "|one|two words|");

  // An existing shorter prefix wins, as on Windows; quotation marks avoid it.
  const std::string shorter = WriteEchoScript(dir, "my");
  run = RunProcess(program + " one", Generous);
  EXPECT_EQ(run.Output, shorter + "|dir/prog|one|");
  run = RunProcess("\"" + program + "\" one", Generous);
  EXPECT_EQ(run.Output, program + "|one|");
}

// Arguments go to the program word for word: blanks, quotation marks and
// shell characters are no syntax. The working folder is the child's alone; a
// relative program path still names the file from the caller's folder.
TEST(ucProcess, ArgumentListAndWorkingFolder) {
  TempDir dir;
  const std::string work = dir.Path() + "work dir";
  std::filesystem::create_directories(work);
  const std::string here = std::filesystem::current_path().string();
  TProcessRun run =
      RunProgram("/bin/sh", {"-c", "pwd; printf '%s|' \"$@\"", "sh", "two words", "\"q\"", "$HOME;*"}, work, Generous);
  EXPECT_TRUE(run.Status.Succeeded());
  EXPECT_EQ(run.Output, std::filesystem::canonical(work).string() + "\ntwo words|\"q\"|$HOME;*|");
  EXPECT_EQ(std::filesystem::current_path().string(), here) << "the caller stays where it was";

  const std::string script = WriteEchoScript(dir, "echo");
  const std::string relative = std::filesystem::relative(script, here).string();
  run = RunProgram(relative, {"x"}, work, Generous);
  EXPECT_TRUE(run.Status.Succeeded()) << run.StartError;

  run = RunProcess("pwd", Generous, work);
  EXPECT_EQ(run.Output, std::filesystem::canonical(work).string() + "\n");

  run = RunProgram("pwd", {}, dir.Path() + "missing", Generous);
  EXPECT_EQ(run.Status.End, TProcessEnd::NotStarted);
  EXPECT_EQ(run.StartError, ENOENT);
}

TEST(ucProcess, ProgramThatCannotBeStartedGivesTheSystemsReason) {
  TempDir dir;
  const std::string data = dir.WriteFile("data.txt", "not a program");
  struct StartCase {
    std::string CommandLine;
    int Error;
  };
  const StartCase cases[] = {
      {"kelvane-no-such-program --version", ENOENT},
      {dir.Path() + "missing/prog arg", ENOENT},
      {data + " arg", EACCES},
      {dir.Path() + " arg", EACCES},
      {"", ENOENT},
  };
  for (const StartCase& c : cases) {
    const TProcessRun run = RunProcess(c.CommandLine, Generous);
    EXPECT_EQ(run.Status.End, TProcessEnd::NotStarted) << c.CommandLine;
    EXPECT_EQ(run.StartError, c.Error) << c.CommandLine;
    EXPECT_EQ(run.Output, "") << c.CommandLine;
  }
}

TEST(ucProcess, TimeOutKillsTheProgramAndKeepsWhatItPrinted) {
  const auto started = std::chrono::steady_clock::now();
  const TProcessRun run = RunProcess(R"(/bin/sh -c "echo started; sleep 60")", 300ms);
  EXPECT_LT(std::chrono::steady_clock::now() - started, Generous);
  EXPECT_EQ(run.Status.End, TProcessEnd::TimedOut);
  EXPECT_FALSE(run.Status.Succeeded());
  EXPECT_EQ(run.Output, "started\n");
  EXPECT_FALSE(HasUnreapedChildren());
}

TEST(ucProcess, TimeOutAlsoEndsWhatTheProgramLeftHoldingItsOutput) {
  // The shell ends at once; its background sleep keeps the pipe open.
  const TProcessRun run = RunProcess(R"(/bin/sh -c "sleep 60 & echo $!")", 500ms);
  EXPECT_EQ(run.Status.End, TProcessEnd::TimedOut);
  ASSERT_FALSE(run.Output.empty());
  const std::string sleeper = run.Output.substr(0, run.Output.find('\n'));
  EXPECT_TRUE(DiesSoon(sleeper)) << "pid " << sleeper;
}

TEST(ucProcess, TimeOutHoldsForAProgramThatClosedItsOutputButRunsOn) {
  const TProcessRun run = RunProcess(R"(/bin/sh -c "exec >&- 2>&-; sleep 60")", 300ms);
  EXPECT_EQ(run.Status.End, TProcessEnd::TimedOut);
  EXPECT_FALSE(HasUnreapedChildren());
}

TEST(ucProcess, NoTimeOutWaitsForTheEnd) {
  for (const std::chrono::milliseconds none : {0ms, -1ms, std::chrono::milliseconds::max()}) {
    const TProcessRun run = RunProcess(R"(/bin/sh -c "sleep 0.2; echo done")", none);
    EXPECT_TRUE(run.Status.Succeeded()) << none.count();
    EXPECT_EQ(run.Output, "done\n") << none.count();
  }
}

TEST(ucProcess, LeavesNoDescriptorOrChildBehind) {
  TempDir dir;
  const size_t before = OpenDescriptorCount();
  RunProcess("sh -c \"echo hi\"", Generous);
  RunProcess("kelvane-no-such-program", Generous);
  RunProcess(dir.WriteFile("plain.txt", ""), Generous);
  RunProcess(R"(sh -c "sleep 60")", 100ms);
  EXPECT_EQ(OpenDescriptorCount(), before);
  EXPECT_FALSE(HasUnreapedChildren());
}

TEST(ucProcess, ProgramInheritsNoDescriptorOfTheCaller) {
  const int inheritable = ::dup2(1, 57);  // dup2 leaves close-on-exec off
  ASSERT_EQ(inheritable, 57);
  const TProcessRun run = RunProcess(R"(/bin/sh -c "ls /proc/$$/fd")", Generous);
  ::close(inheritable);
  EXPECT_EQ(run.Output, "0\n1\n2\n");
}

TEST(ucProcess, ConcurrentRunsDoNotWaitForEachOther) {
  std::atomic<bool> longRunDone{false};
  std::thread longRun([&] {
    RunProcess(R"(sh -c "sleep 3")", Generous);
    longRunDone = true;
  });
  // Give the long run time to start, so its child exists while ours runs.
  std::this_thread::sleep_for(200ms);
  const TProcessRun shortRun = RunProcess(R"(sh -c "echo quick")", Generous);
  EXPECT_FALSE(longRunDone) << "the short run waited for the long one's child";
  EXPECT_EQ(shortRun.Output, "quick\n");
  longRun.join();
}

}  // namespace
}  // namespace kelvane
