#include "ucProcess.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <filesystem>
#include <system_error>
#include <thread>
#include <vector>

#include "ucCommandLine.h"

extern char** environ;

namespace kelvane {
namespace {

using SteadyClock = std::chrono::steady_clock;

// Bytes taken from the pipe per read.
constexpr size_t ReadChunk = 64 * 1024;

// How often the child is looked at when the kernel cannot tell us that it
// ended (no process descriptor); only then, and only after its output closed.
constexpr std::chrono::milliseconds FallbackWaitStep{10};

// Time-outs beyond this wait without limit; the deadline would overflow the
// clock's range otherwise.
constexpr std::chrono::hours LongestTimeOut{24 * 365 * 100};

class TFileDescriptor {
 public:
  explicit TFileDescriptor(int Fd = -1) : FFd(Fd) {}
  ~TFileDescriptor() { Close(); }
  TFileDescriptor(const TFileDescriptor&) = delete;
  TFileDescriptor& operator=(const TFileDescriptor&) = delete;

  int Get() const { return FFd; }
  bool IsOpen() const { return FFd >= 0; }
  void Close() {
    if (FFd >= 0) ::close(FFd);
    FFd = -1;
  }
  // Moves the descriptor above the three standard ones, so that wiring the
  // child's standard handles can never overwrite or keep it by accident.
  void MoveAboveStandardHandles() {
    if (FFd < 0 || FFd > 2) return;
    const int moved = ::fcntl(FFd, F_DUPFD_CLOEXEC, 3);
    if (moved < 0) return;
    ::close(FFd);
    FFd = moved;
  }

 private:
  int FFd;
};

class TSpawnFileActions {
 public:
  TSpawnFileActions() { FError = ::posix_spawn_file_actions_init(&FActions); }
  ~TSpawnFileActions() {
    if (FError == 0) ::posix_spawn_file_actions_destroy(&FActions);
  }
  TSpawnFileActions(const TSpawnFileActions&) = delete;
  TSpawnFileActions& operator=(const TSpawnFileActions&) = delete;

  // Standard input from the null device, standard output and standard error
  // into the pipe, and no other descriptor of this process in the child,
  // which starts in `Folder` unless that is empty.
  int Prepare(int PipeWriteEnd, const std::string& Folder) {
    if (FError != 0) return FError;
    if (!Folder.empty()) {
      if (int e = ::posix_spawn_file_actions_addchdir_np(&FActions, Folder.c_str())) return e;
    }
    if (int e = ::posix_spawn_file_actions_addopen(&FActions, 0, "/dev/null", O_RDONLY, 0)) return e;
    if (int e = ::posix_spawn_file_actions_adddup2(&FActions, PipeWriteEnd, 1)) return e;
    if (int e = ::posix_spawn_file_actions_adddup2(&FActions, PipeWriteEnd, 2)) return e;
    return ::posix_spawn_file_actions_addclosefrom_np(&FActions, 3);
  }
  const posix_spawn_file_actions_t* Get() const { return &FActions; }

 private:
  posix_spawn_file_actions_t FActions{};
  int FError = 0;
};

class TSpawnAttributes {
 public:
  TSpawnAttributes() { FError = ::posix_spawnattr_init(&FAttributes); }
  ~TSpawnAttributes() {
    if (FError == 0) ::posix_spawnattr_destroy(&FAttributes);
  }
  TSpawnAttributes(const TSpawnAttributes&) = delete;
  TSpawnAttributes& operator=(const TSpawnAttributes&) = delete;

  // The child leads a process group of its own, so a time-out can kill it
  // together with whatever it started; it starts with no blocked signals and
  // default dispositions whatever this process has set up for itself.
  int Configure() {
    if (FError != 0) return FError;
    sigset_t none;
    sigset_t all;
    ::sigemptyset(&none);
    ::sigfillset(&all);
    if (int e = ::posix_spawnattr_setpgroup(&FAttributes, 0)) return e;
    if (int e = ::posix_spawnattr_setsigmask(&FAttributes, &none)) return e;
    if (int e = ::posix_spawnattr_setsigdefault(&FAttributes, &all)) return e;
    return ::posix_spawnattr_setflags(&FAttributes, static_cast<short>(POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGMASK |
                                                                        POSIX_SPAWN_SETSIGDEF));
  }
  const posix_spawnattr_t* Get() const { return &FAttributes; }

 private:
  posix_spawnattr_t FAttributes{};
  int FError = 0;
};

// Owns a started child until it has been reaped. Whatever way the run is left
// (a time-out, an exception), the child and its process group are killed and
// reaped so that no zombie and no orphaned worker stays behind.
class TChild {
 public:
  explicit TChild(pid_t Pid) : FPid(Pid) {}
  ~TChild() {
    if (!FReaped) KillAndReap();
  }
  TChild(const TChild&) = delete;
  TChild& operator=(const TChild&) = delete;

  bool IsReaped() const { return FReaped; }

  // Reaps the child if it has ended. True once it is reaped.
  bool TryReap() {
    if (FReaped) return true;
    int status = 0;
    const pid_t result = ::waitpid(FPid, &status, WNOHANG);
    if (result == FPid) {
      Record(status);
    } else if (result < 0 && errno != EINTR) {
      // Someone else reaped it (SIGCHLD ignored in this process): its status is lost.
      FReaped = true;
    }
    return FReaped;
  }

  void KillAndReap() {
    ::kill(-FPid, SIGKILL);
    if (FReaped) return;
    ::kill(FPid, SIGKILL);
    int status = 0;
    pid_t result;
    do {
      result = ::waitpid(FPid, &status, 0);
    } while (result < 0 && errno == EINTR);
    if (result == FPid) Record(status);
    FReaped = true;
  }

  TProcessStatus Status() const { return FStatus; }

 private:
  void Record(int WaitStatus) {
    FReaped = true;
    if (WIFEXITED(WaitStatus)) {
      FStatus.End = TProcessEnd::Exited;
      FStatus.ExitStatus = WEXITSTATUS(WaitStatus);
    } else if (WIFSIGNALED(WaitStatus)) {
      FStatus.End = TProcessEnd::Signalled;
      FStatus.Signal = WTERMSIG(WaitStatus);
    }
  }

  pid_t FPid;
  bool FReaped = false;
  // A child whose status was lost counts as exited with an unknown status.
  TProcessStatus FStatus{TProcessEnd::Exited, -1, 0};
};

bool IsRegularFile(const std::string& Path) {
  struct stat st {};
  return ::stat(Path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

// The file to execute for a program name: a name with a path separator as it
// stands when it is an existing file, otherwise the first executable file of
// that name in the PATH folders. Empty when there is none.
std::string FindProgram(const std::string& Name) {
  if (Name.empty()) return {};
  if (Name.find('/') != std::string::npos) return IsRegularFile(Name) ? Name : std::string();
  const char* variable = std::getenv("PATH");
  const std::string path = variable != nullptr ? variable : "/usr/local/bin:/usr/bin:/bin";
  size_t start = 0;
  while (start <= path.size()) {
    size_t end = path.find(':', start);
    if (end == std::string::npos) end = path.size();
    // Built by appending: GCC 12 at -O3 warns falsely (-Wrestrict) about
    // chained string concatenation here.
    std::string candidate = end > start ? path.substr(start, end - start) : std::string(".");
    candidate.append(1, '/').append(Name);
    if (IsRegularFile(candidate) && ::access(candidate.c_str(), X_OK) == 0) return candidate;
    start = end + 1;
  }
  return {};
}

// A descriptor that becomes readable when the process ends, or -1. Called
// through syscall() because glibc 2.36 declares its wrapper without C linkage.
int OpenProcessDescriptor(pid_t Pid) { return static_cast<int>(::syscall(SYS_pidfd_open, Pid, 0)); }

int MillisecondsUntil(SteadyClock::time_point Deadline) {
  const auto left = std::chrono::ceil<std::chrono::milliseconds>(Deadline - SteadyClock::now()).count();
  if (left <= 0) return 0;
  return left > INT_MAX ? INT_MAX : static_cast<int>(left);
}

}  // namespace

TProcessRun RunProcess(std::string_view CommandLine, std::chrono::milliseconds TimeOut,
                       const std::string& WorkingFolder) {
  const TCommandLine line =
      SplitCommandLine(CommandLine, [](const std::string& Program) { return !FindProgram(Program).empty(); });
  return RunProgram(line.Program, line.Arguments, WorkingFolder, TimeOut);
}

TProcessRun RunProgram(const std::string& Program, const std::vector<std::string>& Arguments,
                       const std::string& WorkingFolder, std::chrono::milliseconds TimeOut) {
  TProcessRun run;

  int ends[2];
  if (::pipe2(ends, O_CLOEXEC) != 0) throw std::system_error(errno, std::generic_category(), "pipe2");
  TFileDescriptor readEnd(ends[0]);
  TFileDescriptor writeEnd(ends[1]);
  readEnd.MoveAboveStandardHandles();
  writeEnd.MoveAboveStandardHandles();

  std::string file = FindProgram(Program);
  if (file.empty()) {
    if (Program.find('/') == std::string::npos) {
      run.StartError = ENOENT;
      return run;
    }
    // Let the system say why this path cannot be run.
    file = Program;
  }
  // The child enters its working folder before it executes the file: a
  // relative path must name the file from here, as it was looked up.
  if (!WorkingFolder.empty() && file.front() != '/') {
    std::error_code ignored;
    file = std::filesystem::absolute(file, ignored).string();
  }

  std::vector<std::string> words;
  words.reserve(Arguments.size() + 1);
  words.push_back(Program);
  words.insert(words.end(), Arguments.begin(), Arguments.end());
  std::vector<char*> argv;
  argv.reserve(words.size() + 1);
  for (std::string& word : words) argv.push_back(word.data());
  argv.push_back(nullptr);

  TSpawnFileActions actions;
  TSpawnAttributes attributes;
  if (int e = actions.Prepare(writeEnd.Get(), WorkingFolder)) {
    run.StartError = e;
    return run;
  }
  if (int e = attributes.Configure()) {
    run.StartError = e;
    return run;
  }
  pid_t pid = 0;
  if (int e = ::posix_spawn(&pid, file.c_str(), actions.Get(), attributes.Get(), argv.data(), environ)) {
    run.StartError = e;
    return run;
  }
  TChild child(pid);
  // Only the child holds the write end now, so the pipe reports its end once
  // the child (and whatever it passed the end on to) has closed it.
  writeEnd.Close();

  // A process descriptor lets one poll wait for output and for the child's end
  // together. Without one (an old kernel), the end is checked in short steps.
  TFileDescriptor processEnd(OpenProcessDescriptor(pid));

  const bool limited = TimeOut.count() > 0 && TimeOut < LongestTimeOut;
  const SteadyClock::time_point deadline = limited ? SteadyClock::now() + TimeOut : SteadyClock::time_point::max();
  std::vector<char> buffer(ReadChunk);
  bool timedOut = false;

  while (readEnd.IsOpen() || !child.IsReaped()) {
    const int waitMs = limited ? MillisecondsUntil(deadline) : -1;
    if (limited && waitMs == 0) {
      timedOut = true;
      break;
    }
    pollfd watched[2];
    nfds_t count = 0;
    if (readEnd.IsOpen()) watched[count++] = pollfd{readEnd.Get(), POLLIN, 0};
    if (!child.IsReaped() && processEnd.IsOpen()) watched[count++] = pollfd{processEnd.Get(), POLLIN, 0};

    if (count == 0) {
      if (!child.TryReap()) {
        const auto step = limited ? std::min(FallbackWaitStep, std::chrono::milliseconds(waitMs)) : FallbackWaitStep;
        std::this_thread::sleep_for(step);
      }
      continue;
    }

    if (::poll(watched, count, waitMs) < 0) {
      if (errno == EINTR) continue;
      // Waiting itself is broken: stop collecting and fall back to checking
      // the child's end in steps.
      readEnd.Close();
      processEnd.Close();
      continue;
    }
    for (nfds_t i = 0; i < count; ++i) {
      if (watched[i].revents == 0) continue;
      if (watched[i].fd == processEnd.Get()) {
        child.TryReap();
        continue;
      }
      const ssize_t got = ::read(readEnd.Get(), buffer.data(), buffer.size());
      if (got > 0) {
        run.Output.append(buffer.data(), static_cast<size_t>(got));
      } else if (got == 0 || (errno != EINTR && errno != EAGAIN)) {
        // The end of the output, or a read that failed: what was read stays.
        readEnd.Close();
      }
    }
  }

  if (timedOut) {
    child.KillAndReap();
    run.Status.End = TProcessEnd::TimedOut;
  } else {
    run.Status = child.Status();
  }
  return run;
}

}  // namespace kelvane
