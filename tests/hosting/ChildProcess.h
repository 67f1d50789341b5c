#pragma once

// A real child process for the program tests: started with its own arguments
// and extra environment, its output caught in files, signalled and waited for
// with a time limit. A child still running at the end is killed.

#include <chrono>
#include <optional>
#include <string>
#include <vector>

namespace kelvane::testing {

class TChildProcess {
 public:
  // Starts `program` with `arguments`; `environment` entries ("NAME=value")
  // are added to the test's own environment. Output goes to files in
  // `outputFolder`.
  TChildProcess(const std::string& program, const std::vector<std::string>& arguments,
                const std::vector<std::string>& environment, const std::string& outputFolder);
  ~TChildProcess();
  TChildProcess(const TChildProcess&) = delete;
  TChildProcess& operator=(const TChildProcess&) = delete;

  // The exit status once the child has ended within `timeout`; a child killed
  // by a signal answers 128 + the signal number.
  std::optional<int> WaitFor(std::chrono::milliseconds timeout);
  void Signal(int signalNumber);
  bool Running();

  std::string Stdout() const;
  std::string Stderr() const;

 private:
  int FPid = -1;
  std::optional<int> FStatus;
  std::string FStdoutPath;
  std::string FStderrPath;
};

// Runs the program to its end (at most `timeout`) and answers its status,
// or -1 when it did not end in time.
struct TRunResult {
  int Status = -1;
  std::string Stdout;
  std::string Stderr;
};
TRunResult RunChild(const std::string& program, const std::vector<std::string>& arguments,
                    const std::vector<std::string>& environment, const std::string& outputFolder,
                    std::chrono::milliseconds timeout = std::chrono::seconds(60));

// The instance numbers whose channels exist for the ID, read from the
// kernel's list of Unix sockets (not through the product's own code).
std::vector<int> ServedInstanceNumbers(const std::string& id);

// A socket that stands in for systemd's notification socket: a child started
// with NOTIFY_SOCKET=<Path()> sends its state lines here.
class TNotifySocket {
 public:
  explicit TNotifySocket(const std::string& path);
  ~TNotifySocket();
  TNotifySocket(const TNotifySocket&) = delete;
  TNotifySocket& operator=(const TNotifySocket&) = delete;

  const std::string& Path() const { return FPath; }
  // The next message, or empty when none came within `timeout`.
  std::string Receive(std::chrono::milliseconds timeout);

 private:
  std::string FPath;
  int FFd = -1;
};

// Waits until `condition` holds, at most `timeout`; answers whether it held.
template <class TCondition>
bool WaitUntil(TCondition condition, std::chrono::milliseconds timeout = std::chrono::seconds(30));

}  // namespace kelvane::testing

#include <thread>

namespace kelvane::testing {

template <class TCondition>
bool WaitUntil(TCondition condition, std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!condition()) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return true;
}

}  // namespace kelvane::testing
