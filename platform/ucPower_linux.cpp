#include "ucPower.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/capability.h>
#include <sys/reboot.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utmpx.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <system_error>
#include <thread>

#include "ucProcess.h"

namespace kelvane {
namespace {

using namespace std::chrono_literals;

// How long systemctl gets to take the request, and how long the system then
// gets to go down, before the kernel is asked directly.
constexpr auto SystemctlAnswerTime = 5s;
constexpr auto GoingDownTime = 10s;

// Capabilities belong to threads on Linux: the right is raised on the thread
// that asks, and again on the thread that finally reboots.
bool EnableRebootCapability() {
  cap_t caps = ::cap_get_proc();
  if (caps == nullptr) return false;
  cap_flag_value_t permitted = CAP_CLEAR;
  bool ok = ::cap_get_flag(caps, CAP_SYS_BOOT, CAP_PERMITTED, &permitted) == 0 && permitted == CAP_SET;
  if (ok) {
    cap_value_t bootRight = CAP_SYS_BOOT;
    ok = ::cap_set_flag(caps, CAP_EFFECTIVE, 1, &bootRight, CAP_SET) == 0 && ::cap_set_proc(caps) == 0;
  }
  ::cap_free(caps);
  return ok;
}

std::string BroadcastText(TPowerAction action) {
  return std::string("\r\n\aBroadcast message from the Kelvane service:\r\n") +
         (action == TPowerAction::Shutdown ? "The system is powering off NOW!" : "The system is rebooting NOW!") +
         "\r\n\r\n";
}

// Writes the text to every terminal with a user session, the way wall does.
// A terminal that does not take it at once is skipped rather than waited for.
void WriteToLoggedInTerminals(const std::string& text) {
  ::setutxent();
  while (const utmpx* entry = ::getutxent()) {
    if (entry->ut_type != USER_PROCESS) continue;
    const std::string line(entry->ut_line, ::strnlen(entry->ut_line, sizeof entry->ut_line));
    if (line.empty() || line.find("..") != std::string::npos) continue;
    const int fd = ::open(("/dev/" + line).c_str(), O_WRONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) continue;
    struct stat st {};
    if (::fstat(fd, &st) == 0 && S_ISCHR(st.st_mode)) {
      [[maybe_unused]] const ssize_t written = ::write(fd, text.data(), text.size());
    }
    ::close(fd);
  }
  ::endutxent();
}

// Runs systemctl; true when it accepted the request within the time given.
// What it says on failure goes to standard error, the service's journal.
bool AskSystemd(TPowerAction action) {
  TProcessRun run;
  try {
    run = RunProgram("systemctl", {action == TPowerAction::Shutdown ? "poweroff" : "reboot", "--force"}, {},
                     SystemctlAnswerTime);
  } catch (const std::system_error&) {
    return false;
  }
  if (!run.Status.Succeeded() && !run.Output.empty()) {
    [[maybe_unused]] const ssize_t written = ::write(STDERR_FILENO, run.Output.data(), run.Output.size());
  }
  return run.Status.Succeeded();
}

void LetTerminationSignalEndTheProcess() {
  struct sigaction action {};
  action.sa_handler = SIG_DFL;
  sigemptyset(&action.sa_mask);
  ::sigaction(SIGTERM, &action, nullptr);
  sigset_t term;
  sigemptyset(&term);
  sigaddset(&term, SIGTERM);
  ::pthread_sigmask(SIG_UNBLOCK, &term, nullptr);
}

class TSystemPowerBackend final : public IPowerBackend {
 public:
  bool EnableShutdownRight() override { return EnableRebootCapability(); }

  void NotifySessions(TPowerAction action) override {
    WriteToLoggedInTerminals(BroadcastText(action));
    ::sync();
  }

  void Force(TPowerAction action) override {
    EnableRebootCapability();
    // Once systemd takes the request it ends every process, this one
    // included, on its way down, and may do so before systemctl returns. The
    // service's own stop handling runs on this very thread, which from here on
    // only waits: the stop signal ends the process at once instead, or systemd
    // would wait for it and the kernel would be asked below before the file
    // systems were unmounted.
    LetTerminationSignalEndTheProcess();
    if (AskSystemd(action)) std::this_thread::sleep_for(GoingDownTime);
    ::sync();
    ::reboot(action == TPowerAction::Shutdown ? RB_POWER_OFF : RB_AUTOBOOT);
  }
};

class TDryRunPowerBackend final : public IPowerBackend {
 public:
  explicit TDryRunPowerBackend(std::string recordFile) : FRecordFile(std::move(recordFile)) {}

  bool EnableShutdownRight() override { return EnableRebootCapability(); }

  void NotifySessions(TPowerAction) override { ::sync(); }

  void Force(TPowerAction action) override {
    const std::string line = std::string(PowerActionName(action)) + "\n";
    std::string note;
    if (!FRecordFile.empty()) {
      const int fd = ::open(FRecordFile.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
      // One write call per line, so lines from several processes never interleave.
      if (fd >= 0 && ::write(fd, line.data(), line.size()) == static_cast<ssize_t>(line.size())) {
        ::close(fd);
        return;
      }
      note = " (cannot write " + FRecordFile + ": " + std::strerror(errno) + ")";
      if (fd >= 0) ::close(fd);
    }
    const std::string text = "Dry run: " + std::string(PowerActionName(action)) + note + "\n";
    [[maybe_unused]] const ssize_t written = ::write(STDERR_FILENO, text.data(), text.size());
  }

 private:
  const std::string FRecordFile;
};

}  // namespace

const char* PowerActionName(TPowerAction action) { return action == TPowerAction::Shutdown ? "shutdown" : "reboot"; }

std::unique_ptr<IPowerBackend> CreateSystemPowerBackend() { return std::make_unique<TSystemPowerBackend>(); }

std::unique_ptr<IPowerBackend> CreateDryRunPowerBackend(const std::string& recordFile) {
  return std::make_unique<TDryRunPowerBackend>(recordFile);
}

}  // namespace kelvane
