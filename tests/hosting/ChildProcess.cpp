#include "ChildProcess.h"

#include <fcntl.h>
#include <signal.h>
#include <poll.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <fstream>
#include <set>
#include <sstream>
#include <cstring>
#include <stdexcept>

#include "TempDir.h"

extern char** environ;

namespace kelvane::testing {
namespace {

std::atomic<int> NextChild {0};

}  // namespace

TChildProcess::TChildProcess(const std::string& program, const std::vector<std::string>& arguments,
                             const std::vector<std::string>& environment, const std::string& outputFolder) {
  const std::string stem = outputFolder + "child" + std::to_string(NextChild++);
  FStdoutPath = stem + ".out";
  FStderrPath = stem + ".err";
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, FStdoutPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  posix_spawn_file_actions_addopen(&actions, 2, FStderrPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);

  std::vector<std::string> words {program};
  words.insert(words.end(), arguments.begin(), arguments.end());
  std::vector<char*> argv;
  for (std::string& word : words) argv.push_back(word.data());
  argv.push_back(nullptr);

  std::vector<std::string> variables;
  for (char** entry = environ; *entry != nullptr; ++entry) variables.emplace_back(*entry);
  variables.insert(variables.end(), environment.begin(), environment.end());
  std::vector<char*> envp;
  for (std::string& variable : variables) envp.push_back(variable.data());
  envp.push_back(nullptr);

  const int error = posix_spawn(&FPid, program.c_str(), &actions, nullptr, argv.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  if (error != 0) throw std::runtime_error("cannot start " + program);
}

TChildProcess::~TChildProcess() {
  if (!FStatus) {
    ::kill(FPid, SIGKILL);
    int status = 0;
    ::waitpid(FPid, &status, 0);
  }
}

std::optional<int> TChildProcess::WaitFor(std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!FStatus) {
    int status = 0;
    const pid_t done = ::waitpid(FPid, &status, WNOHANG);
    if (done == FPid) {
      FStatus = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
      break;
    }
    if (std::chrono::steady_clock::now() >= deadline) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return FStatus;
}

void TChildProcess::Signal(int signalNumber) {
  if (!FStatus) ::kill(FPid, signalNumber);
}

bool TChildProcess::Running() { return !WaitFor(std::chrono::milliseconds(0)).has_value(); }

std::string TChildProcess::Stdout() const { return ReadFile(FStdoutPath); }

std::string TChildProcess::Stderr() const { return ReadFile(FStderrPath); }

TRunResult RunChild(const std::string& program, const std::vector<std::string>& arguments,
                    const std::vector<std::string>& environment, const std::string& outputFolder,
                    std::chrono::milliseconds timeout) {
  TChildProcess child(program, arguments, environment, outputFolder);
  TRunResult result;
  result.Status = child.WaitFor(timeout).value_or(-1);
  result.Stdout = child.Stdout();
  result.Stderr = child.Stderr();
  return result;
}

TNotifySocket::TNotifySocket(const std::string& path) : FPath(path) {
  FFd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  sockaddr_un address {};
  address.sun_family = AF_UNIX;
  std::strncpy(address.sun_path, path.c_str(), sizeof(address.sun_path) - 1);
  if (FFd < 0 || ::bind(FFd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
    throw std::runtime_error("cannot create notification socket " + path);
  }
}

TNotifySocket::~TNotifySocket() {
  if (FFd >= 0) ::close(FFd);
  ::unlink(FPath.c_str());
}

std::string TNotifySocket::Receive(std::chrono::milliseconds timeout) {
  pollfd wait {FFd, POLLIN, 0};
  if (::poll(&wait, 1, static_cast<int>(timeout.count())) <= 0) return {};
  char buffer[4096];
  const ssize_t got = ::recv(FFd, buffer, sizeof buffer, 0);
  return got > 0 ? std::string(buffer, static_cast<std::size_t>(got)) : std::string();
}

std::vector<int> ServedInstanceNumbers(const std::string& id) {
  // Abstract names appear as "@<name>" in the last column.
  const std::string prefix = "@\\\\.\\pipe\\AppRolePipe_" + id + "_";
  std::set<int> numbers;
  std::ifstream table("/proc/net/unix");
  std::string line;
  while (std::getline(table, line)) {
    const std::size_t at = line.find(prefix);
    if (at == std::string::npos) continue;
    const std::string rest = line.substr(at + prefix.size());
    if (!rest.empty() && rest.find_first_not_of("0123456789") == std::string::npos) numbers.insert(std::stoi(rest));
  }
  return {numbers.begin(), numbers.end()};
}

}  // namespace kelvane::testing
