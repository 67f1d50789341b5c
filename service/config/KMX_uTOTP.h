#pragma once

// Time-based one-time codes (RFC 6238 with its defaults: HMAC-SHA-1, 30-second
// steps counted from the Unix epoch, 6 digits), the second factor of users
// listed in Vardex.cfg's [TOTP] section.

#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <string_view>

#include "ucTime.h"

namespace kelvane {

inline constexpr std::chrono::seconds TOTPStep{30};

// The bytes of a base32 secret (RFC 4648 alphabet, any letter case; blanks,
// hyphens and "=" padding ignored). False for any other character or an empty
// secret.
bool DecodeBase32(std::string_view text, std::string& bytes);

// Base32 text of `bytes`, without padding.
std::string EncodeBase32(std::string_view bytes);

// The 30-second step a moment falls in.
std::int64_t TOTPStepOf(TimePoint when);

// The 6-digit code of one step for a key.
std::string TOTPCode(std::string_view key, std::int64_t step);

// Checks codes and remembers, per user, the newest step whose code was
// accepted: a code of that step or an older one is refused, so an overheard
// code cannot be used a second time. Safe to use from many threads.
class TTOTPVerifier {
 public:
  explicit TTOTPVerifier(Clock clock = SystemClock()) : FClock(std::move(clock)) {}

  // True when `code` is the code of the current step or of the step before
  // or after it, and no code of that step or a later one was accepted for
  // `user` before. `user` is the key under which used steps are kept.
  bool Verify(const std::string& user, std::string_view key, std::string_view code);

 private:
  Clock FClock;
  std::mutex FLock;
  std::map<std::string, std::int64_t> FLastUsedStep;
};

}  // namespace kelvane
