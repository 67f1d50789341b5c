#pragma once

// Termination requests sent to the process (SIGTERM from the service manager
// or `kill`, SIGINT from Ctrl-C) handed to ordinary code: the callback runs on
// a thread of its own, where it may lock, allocate and post work, none of
// which a signal handler may do.

#include <functional>
#include <memory>
#include <string>

namespace kelvane {

class TTerminationSignals {
 public:
  // Takes over SIGTERM and SIGINT until destroyed; the callback receives the
  // signal's name ("SIGTERM", "SIGINT") once per signal. Only one watcher may
  // exist at a time (std::logic_error otherwise); std::system_error when the
  // watcher cannot be set up.
  explicit TTerminationSignals(std::function<void(const std::string& SignalName)> onSignal);
  // Gives the two signals back their previous handling.
  ~TTerminationSignals();
  TTerminationSignals(const TTerminationSignals&) = delete;
  TTerminationSignals& operator=(const TTerminationSignals&) = delete;

 private:
  struct Impl;
  std::unique_ptr<Impl> FImpl;
};

}  // namespace kelvane
