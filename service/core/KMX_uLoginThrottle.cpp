#include "KMX_uLoginThrottle.h"

#include <algorithm>
#include <deque>
#include <mutex>
#include <unordered_map>
#include <vector>

#include "ucText.h"

namespace kelvane {
namespace {

using std::chrono::seconds;

// Expired entries are looked for at most this often, when a login arrives.
constexpr seconds SweepInterval{1};
// An address keeps its block history (what the next block's length doubles
// from) for this long after its last block ended without a new failure.
constexpr seconds BlockMemory{3600};
// Bounds on the memory a flood of addresses or invented names can take;
// beyond them the entries that block nothing are dropped first.
constexpr std::size_t MaxTrackedAddresses = 100000;
constexpr std::size_t MaxTrackedNames = 100000;

struct TAddressState {
  // Failure times inside the window, oldest first, at most MaxFailures.
  std::deque<TimePoint> Failures;
  TimePoint BlockedUntil{};
  seconds BlockLength{0};
  // Blocks in a row; each one doubles the next block's length.
  int Blocks = 0;
  std::size_t Refused = 0;
  bool Blocked = false;
};

struct TNameState {
  // The latest failure times, oldest first, at most UserSlowDownFailures.
  std::deque<TimePoint> Failures;
};

// Names are counted as logins compare them: without regard to case.
std::string FoldName(std::string_view name) { return FoldCase(AsUtf8(name)); }

seconds CeilSeconds(TimePoint::duration span) {
  const auto whole = std::chrono::ceil<seconds>(span);
  return std::max(whole, seconds{1});
}

}  // namespace

struct TLoginThrottle::TState {
  std::function<void(std::string_view)> Log;
  Clock Now;
  std::mutex Lock;
  TThrottleSettings Settings;
  std::unordered_map<std::string, TAddressState> Addresses;
  std::unordered_map<std::string, TNameState> Names;
  TimePoint NextSweep{};
  // Lines to write once the lock is released.
  std::vector<std::string> Pending;

  void Forget(std::deque<TimePoint>& failures, TimePoint now) const {
    while (!failures.empty() && (now - failures.front() >= Settings.FailureWindow || failures.front() > now)) {
      failures.pop_front();
    }
  }

  // Ends the block of an address whose time is up.
  void EndBlockIfDue(const std::string& address, TAddressState& state, TimePoint now) {
    if (!state.Blocked || now < state.BlockedUntil) return;
    state.Blocked = false;
    Pending.push_back("Address " + address + " is no longer blocked; " + std::to_string(state.Refused) +
                      " login attempt(s) were refused during the block.");
    state.Refused = 0;
  }

  void Sweep(TimePoint now) {
    if (now < NextSweep && NextSweep - now <= SweepInterval) return;
    NextSweep = now + SweepInterval;
    for (auto it = Addresses.begin(); it != Addresses.end();) {
      EndBlockIfDue(it->first, it->second, now);
      Forget(it->second.Failures, now);
      const bool idle = !it->second.Blocked && it->second.Failures.empty() &&
                        (it->second.Blocks == 0 || now - it->second.BlockedUntil >= BlockMemory);
      it = idle ? Addresses.erase(it) : std::next(it);
    }
    for (auto it = Names.begin(); it != Names.end();) {
      Forget(it->second.Failures, now);
      it = it->second.Failures.empty() ? Names.erase(it) : std::next(it);
    }
    // Past the bounds, unblocked entries go; a blocked address is never
    // forgotten before its block ends.
    for (auto it = Addresses.begin(); Addresses.size() > MaxTrackedAddresses && it != Addresses.end();) {
      it = it->second.Blocked ? std::next(it) : Addresses.erase(it);
    }
    while (Names.size() > MaxTrackedNames) Names.erase(Names.begin());
  }

  void Flush(std::unique_lock<std::mutex>& lock) {
    std::vector<std::string> lines;
    lines.swap(Pending);
    lock.unlock();
    if (Log) {
      for (const std::string& line : lines) Log(line);
    }
  }
};

TLoginThrottle::TLoginThrottle(std::function<void(std::string_view)> log, Clock clock)
    : FState(std::make_unique<TState>()) {
  FState->Log = std::move(log);
  FState->Now = std::move(clock);
}

TLoginThrottle::~TLoginThrottle() = default;

void TLoginThrottle::SetSettings(const TThrottleSettings& settings) {
  std::lock_guard lock(FState->Lock);
  FState->Settings = settings;
  FState->Settings.MaxFailures = std::max(settings.MaxFailures, 1);
}

TThrottleSettings TLoginThrottle::Settings() const {
  std::lock_guard lock(FState->Lock);
  return FState->Settings;
}

TThrottleVerdict TLoginThrottle::Admit(std::string_view address, std::string_view userName) {
  std::unique_lock lock(FState->Lock);
  const TimePoint now = FState->Now();
  FState->Sweep(now);
  TThrottleVerdict verdict;
  verdict.AnswerNotBefore = now;

  const auto found = FState->Addresses.find(std::string(address));
  if (found != FState->Addresses.end()) {
    TAddressState& state = found->second;
    FState->EndBlockIfDue(found->first, state, now);
    if (state.Blocked) {
      ++state.Refused;
      verdict.Blocked = true;
      // A wall clock set back must not stretch the wait beyond the block.
      verdict.RetryAfter = std::min(CeilSeconds(state.BlockedUntil - now), state.BlockLength);
    }
  }
  if (!verdict.Blocked) {
    const auto name = FState->Names.find(FoldName(userName));
    if (name != FState->Names.end()) {
      FState->Forget(name->second.Failures, now);
      if (name->second.Failures.size() >= static_cast<std::size_t>(UserSlowDownFailures)) {
        verdict.AnswerNotBefore = now + UserDelay;
      }
    }
  }
  FState->Flush(lock);
  return verdict;
}

void TLoginThrottle::RecordFailure(std::string_view address, std::string_view userName) {
  std::unique_lock lock(FState->Lock);
  const TimePoint now = FState->Now();
  const TThrottleSettings& settings = FState->Settings;

  TNameState& name = FState->Names[FoldName(userName)];
  name.Failures.push_back(now);
  while (name.Failures.size() > static_cast<std::size_t>(UserSlowDownFailures)) name.Failures.pop_front();

  const std::string key(address);
  TAddressState& state = FState->Addresses[key];
  // Failures that were checked while a block began elsewhere count nothing more.
  if (!state.Blocked) {
    if (state.Blocks > 0 && now - state.BlockedUntil >= BlockMemory) state.Blocks = 0;
    FState->Forget(state.Failures, now);
    state.Failures.push_back(now);
    if (state.Failures.size() >= static_cast<std::size_t>(settings.MaxFailures)) {
      const auto doubled = settings.BlockSeconds * (std::int64_t{1} << std::min(state.Blocks, 12));
      state.BlockLength = std::clamp(doubled, seconds{1}, LongestBlock);
      state.BlockedUntil = now + state.BlockLength;
      state.Blocked = true;
      state.Refused = 0;
      ++state.Blocks;
      state.Failures.clear();
      FState->Pending.push_back("Address " + key + " is blocked for " + std::to_string(state.BlockLength.count()) +
                                " seconds after " + std::to_string(settings.MaxFailures) + " failed login(s).");
    }
  }
  FState->Flush(lock);
}

void TLoginThrottle::RecordSuccess(std::string_view address) {
  std::unique_lock lock(FState->Lock);
  const auto found = FState->Addresses.find(std::string(address));
  if (found != FState->Addresses.end()) {
    FState->EndBlockIfDue(found->first, found->second, FState->Now());
    if (!found->second.Blocked) FState->Addresses.erase(found);
  }
  FState->Flush(lock);
}

}  // namespace kelvane
