#include "ucPipe.h"

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cerrno>
#include <exception>
#include <filesystem>
#include <system_error>

#include "TempDir.h"

namespace kelvane {
namespace {

using namespace std::chrono_literals;
using testing::TempDir;

struct ConsoleRun {
  TProcessStatus Status;
  std::int32_t ErrorCode = -12345;
  std::string Output = "stale";
};

ConsoleRun RunConsole(const std::string& CommandLine, std::chrono::milliseconds TimeOut = DefaultConsoleTimeOut) {
  ConsoleRun run;
  run.Status = RunConsoleCommand(CommandLine, run.ErrorCode, run.Output, TimeOut);
  return run;
}

struct OutputCase {
  const char* CommandLine;
  std::string Expected;
};

TEST(ucPipe, CollectsStandardOutputAndErrorInTheOrderWritten) {
  using namespace std::string_literals;
  const OutputCase cases[] = {
      {R"(/bin/sh -c "exit 0")", ""},
      {R"(sh -c "echo one; echo two >&2; echo three")", "one\ntwo\nthree\n"},
      {R"(sh -c "printf out1; printf err1 >&2; printf out2; printf err2 >&2")", "out1err1out2err2"},
      // Bytes after a zero byte are kept.
      {R"(printf "a\000b\000\000c")", "a\0b\0\0c"s},
      {R"(printf "line\r\n")", "line\r\n"},
  };
  for (const OutputCase& c : cases) {
    const ConsoleRun run = RunConsole(c.CommandLine);
    EXPECT_EQ(run.ErrorCode, 0) << c.CommandLine;
    EXPECT_EQ(run.Output, c.Expected) << c.CommandLine;
    EXPECT_TRUE(run.Status.Succeeded()) << c.CommandLine;
  }
}

TEST(ucPipe, LongOutputArrivesCompleteAndInOrder) {
  std::string expected;
  for (int i = 1; i <= 50000; ++i) expected += std::to_string(i) + "\n";
  const ConsoleRun run = RunConsole("seq 1 50000");
  EXPECT_EQ(run.ErrorCode, 0);
  EXPECT_EQ(run.Output.size(), expected.size());
  EXPECT_TRUE(run.Output == expected);
}

TEST(ucPipe, HandsBackTheExitStatusAndTheOutputOfAFailingProgram) {
  const ConsoleRun run = RunConsole(R"(sh -c "echo Unable to load certificate >&2; exit 1")");
  EXPECT_EQ(run.ErrorCode, 0);
  EXPECT_EQ(run.Output, "Unable to load certificate\n");
  EXPECT_EQ(run.Status.End, TProcessEnd::Exited);
  EXPECT_EQ(run.Status.ExitStatus, 1);
  EXPECT_FALSE(run.Status.Succeeded());
}

TEST(ucPipe, ProgramThatCannotBeStartedGivesItsErrorCodeAndNoOutput) {
  TempDir dir;
  const std::string data = dir.WriteFile("Cert/openssl", "not a program");
  struct StartCase {
    std::string CommandLine;
    int Error;
  };
  const StartCase cases[] = {
      {"kelvane-no-such-program -n 1", ENOENT},
      {dir.Path() + "no such dir/openssl x509 -in \"" + dir.Path() + "a.pem\"", ENOENT},
      {data + " version", EACCES},
  };
  for (const StartCase& c : cases) {
    const ConsoleRun run = RunConsole(c.CommandLine);
    EXPECT_EQ(run.ErrorCode, c.Error) << c.CommandLine;
    EXPECT_EQ(run.Output, "") << c.CommandLine;
    EXPECT_EQ(run.Status.End, TProcessEnd::NotStarted) << c.CommandLine;
  }
}

TEST(ucPipe, RunsAProgramInAFolderWithBlanksGivenWithoutQuotes) {
  TempDir dir;
  const std::string program = dir.WriteFile("Program Files/Kelvane/openssl", "#!/bin/sh\necho \"$1 $2\"\n");
  std::filesystem::permissions(program, std::filesystem::perms::owner_all);
  const ConsoleRun run = RunConsole(program + " x509 \"" + dir.Path() + "Program Files/Cert/WSScert.pem\"");
  EXPECT_EQ(run.ErrorCode, 0);
  EXPECT_EQ(run.Output, "x509 " + dir.Path() + "Program Files/Cert/WSScert.pem\n");
}

TEST(ucPipe, ProgramThatOutlivesTheTimeOutIsKilledAndReportedAsTimedOut) {
  const ConsoleRun run = RunConsole(R"(sh -c "echo partial; sleep 60")", 300ms);
  EXPECT_EQ(run.ErrorCode, ETIMEDOUT);
  EXPECT_EQ(run.Output, "") << "a cut-off output must not pass for a whole one";
  EXPECT_EQ(run.Status.End, TProcessEnd::TimedOut);
  EXPECT_FALSE(run.Status.Succeeded());
}

// Lowers the limit of open descriptors to the ones open now, so that the next
// descriptor this process asks for is refused.
class TNoFreeDescriptors {
 public:
  TNoFreeDescriptors() {
    ::getrlimit(RLIMIT_NOFILE, &FSaved);
    const int lowestFree = ::dup(0);
    ::close(lowestFree);
    rlimit tight = FSaved;
    tight.rlim_cur = static_cast<rlim_t>(lowestFree);
    ::setrlimit(RLIMIT_NOFILE, &tight);
  }
  ~TNoFreeDescriptors() { ::setrlimit(RLIMIT_NOFILE, &FSaved); }

 private:
  rlimit FSaved{};
};

TEST(ucPipe, PipeThatCannotBeCreatedRaisesAnErrorWithTheSystemsReason) {
  // The undefined-behaviour sanitizer needs two free descriptors to check an
  // object's type the first time it meets it; let it meet the types the
  // failure path uses while descriptors are still free.
  const std::system_error warmUp(EMFILE, std::generic_category());
  EXPECT_FALSE(warmUp.code().message().empty());

  std::exception_ptr error;
  {
    TNoFreeDescriptors limit;
    std::int32_t errorCode = 0;
    std::string output;
    try {
      RunConsoleCommand("sh -c \"echo never\"", errorCode, output);
    } catch (...) {
      error = std::current_exception();
    }
  }
  ASSERT_TRUE(error);
  try {
    std::rethrow_exception(error);
  } catch (const EPipeError& e) {
    EXPECT_EQ(std::string(e.what()), "Error building the pipe\r\n" + std::to_string(EMFILE) + ": " +
                                         std::generic_category().message(EMFILE));
  }
}

}  // namespace
}  // namespace kelvane
