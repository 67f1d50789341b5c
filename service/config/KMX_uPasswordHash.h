#pragma once

// Passwords as Vardex.cfg holds them: either a crypt(3) hash, in the formats
// of /etc/shadow and checked by the same library, or the clear-text password
// itself (files written before hashes existed keep working).
//
// A hash check costs real CPU time on purpose. Checks run on the request
// handlers' threads, never on the listener's I/O threads, and only
// ConcurrentChecks of them at once: the others wait their turn, so a flood of
// guesses takes a bounded share of the processor.

#include <cstddef>
#include <string>
#include <string_view>

namespace kelvane {

inline constexpr std::size_t ConcurrentChecks = 2;

// True for a value in one of the hash formats: yescrypt ("$y$"), gost-yescrypt
// ("$gy$"), scrypt ("$7$"), bcrypt ("$2b$"), SHA-512 ("$6$") or SHA-256 ("$5$")
// crypt. Any other value is a clear-text password.
bool IsPasswordHash(std::string_view stored);

// True when `password` matches the stored value. A clear-text value is
// compared in constant time. A hash never matches a password holding a zero
// byte (the library would read only up to it) or one the library refuses.
bool CheckPassword(std::string_view stored, std::string_view password);

// Takes about as long as checking `password` against a yescrypt hash, for a
// user name that does not exist: the answer's time must not tell.
void SpendPasswordCheckTime(std::string_view password);

// A new yescrypt hash of `password` with a fresh random salt. False, with the
// reason in `error`, when the library cannot make one.
bool HashPassword(std::string_view password, std::string& hash, std::string& error);

// Compares every byte of the longer text whatever the contents, so the time
// taken does not tell how many leading characters of a guess were right.
bool ConstantTimeEquals(std::string_view a, std::string_view b);

}  // namespace kelvane
