#pragma once

// The keys that seal TLS session tickets, so a returning browser resumes its
// session (TLS 1.3 tickets and TLS 1.2 ticket resumption) instead of paying
// for a full handshake.
//
// OpenSSL's built-in ticket keys are made once per server context and never
// change while it lives; the listener's context can live for months. Here a
// fresh key takes over every TicketKeyRotation. A ticket sealed with the key
// before it is still accepted (and replaced by one under the new key) for one
// more period, so no ticket is accepted longer than two periods after it was
// sealed, and a key that leaks uncovers at most that much traffic.

#include <array>
#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>

#include <openssl/types.h>

namespace kelvane {

inline constexpr std::chrono::hours TicketKeyRotation{12};

class TTicketKeys {
 public:
  using TClock = std::function<std::chrono::steady_clock::time_point()>;

  struct TKey {
    std::array<unsigned char, 16> Name{};
    std::array<unsigned char, 32> CipherKey{};
    std::array<unsigned char, 32> MacKey{};
  };

  enum class TFound { None, Current, Previous };

  explicit TTicketKeys(TClock clock = std::chrono::steady_clock::now);
  ~TTicketKeys();
  TTicketKeys(const TTicketKeys&) = delete;
  TTicketKeys& operator=(const TTicketKeys&) = delete;

  // The key new tickets are sealed with. False when no random key could be
  // made (the connection then gets no ticket).
  bool Current(TKey& key);

  // The key a ticket names, if it is still accepted. Previous: the ticket is
  // good, but the client should get a new one.
  TFound Find(const unsigned char* name, TKey& key);

 private:
  // Call with the lock held.
  bool RotateIfDue();

  TClock FClock;
  std::mutex FMutex;
  std::optional<TKey> FCurrent;
  std::optional<TKey> FPrevious;
  std::chrono::steady_clock::time_point FCreated{};
};

// Seals and opens the tickets of a server context with the process's own
// ticket keys, shared by every context the listener loads (a reload keeps the
// sessions browsers hold).
void InstallTicketKeys(SSL_CTX* context);

}  // namespace kelvane
