#pragma once

// Slows down password guessing without letting an attacker lock the real
// administrator out.
//
// Per source address: MaxFailures failed logins within FailureWindow block the
// address for BlockSeconds; each further block of the same address lasts twice
// as long as the one before, up to an hour. A successful login from the
// address forgets its failures and its block history. While blocked, the
// address's submissions are refused before any password is looked at.
//
// Per user name, across addresses: after UserSlowDownFailures failures within
// the window, every further attempt for that name is answered no sooner than
// UserDelay after it arrived. The name is never blocked, so a correct login
// from an address that is not blocked always succeeds.
//
// The state lives in memory only; new settings (a configuration reload) keep
// it. All operations are safe to call from many threads at once.

#include <chrono>
#include <cstddef>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "ucTime.h"

namespace kelvane {

struct TThrottleSettings {
  int MaxFailures = 5;
  std::chrono::seconds FailureWindow{900};
  std::chrono::seconds BlockSeconds{60};
};

// A name with this many failures in the window gets its answers delayed.
inline constexpr int UserSlowDownFailures = 20;
inline constexpr std::chrono::seconds UserDelay{2};
// The longest block, however often an address was blocked before.
inline constexpr std::chrono::seconds LongestBlock{3600};

struct TThrottleVerdict {
  // The address is blocked: refuse without checking the password.
  bool Blocked = false;
  // Whole seconds until the block ends (at least 1 while blocked).
  std::chrono::seconds RetryAfter{0};
  // The answer must not leave before this moment (the per-name slow-down);
  // the arrival time itself when there is nothing to wait for.
  TimePoint AnswerNotBefore{};
};

class TLoginThrottle {
 public:
  // `log` gets one line when an address is blocked and one when its block
  // ended; `clock` is the time source (tests move it by hand).
  explicit TLoginThrottle(std::function<void(std::string_view)> log, Clock clock = SystemClock());
  ~TLoginThrottle();
  TLoginThrottle(const TLoginThrottle&) = delete;
  TLoginThrottle& operator=(const TLoginThrottle&) = delete;

  void SetSettings(const TThrottleSettings& settings);
  TThrottleSettings Settings() const;

  // Called when a login arrives, before its password is checked. A refused
  // attempt is counted for the block-end log line.
  TThrottleVerdict Admit(std::string_view address, std::string_view userName);

  // Called with the outcome of a password check.
  void RecordFailure(std::string_view address, std::string_view userName);
  void RecordSuccess(std::string_view address);

 private:
  struct TState;
  std::unique_ptr<TState> FState;
};

}  // namespace kelvane
