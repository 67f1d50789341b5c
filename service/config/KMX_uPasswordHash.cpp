#include "KMX_uPasswordHash.h"

#include <crypt.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <memory>
#include <semaphore>

namespace kelvane {
namespace {

constexpr std::array<std::string_view, 6> HashPrefixes = {"$y$", "$gy$", "$7$", "$2b$", "$6$", "$5$"};

std::counting_semaphore<ConcurrentChecks>& CheckSlots() {
  static std::counting_semaphore<ConcurrentChecks> slots(ConcurrentChecks);
  return slots;
}

class TCheckSlot {
 public:
  TCheckSlot() { CheckSlots().acquire(); }
  ~TCheckSlot() { CheckSlots().release(); }
  TCheckSlot(const TCheckSlot&) = delete;
  TCheckSlot& operator=(const TCheckSlot&) = delete;
};

}  // namespace

bool ConstantTimeEquals(std::string_view a, std::string_view b) {
  const size_t length = std::max(a.size(), b.size());
  volatile unsigned char difference = a.size() == b.size() ? 0 : 1;
  for (size_t i = 0; i < length; ++i) {
    const auto x = static_cast<unsigned char>(i < a.size() ? a[i] : 0);
    const auto y = static_cast<unsigned char>(i < b.size() ? b[i] : 0);
    difference = static_cast<unsigned char>(difference | (x ^ y));
  }
  return difference == 0;
}

bool IsPasswordHash(std::string_view stored) {
  return std::any_of(HashPrefixes.begin(), HashPrefixes.end(),
                     [stored](std::string_view prefix) { return stored.starts_with(prefix); });
}

bool CheckPassword(std::string_view stored, std::string_view password) {
  if (!IsPasswordHash(stored)) return ConstantTimeEquals(stored, password);
  if (password.find('\0') != std::string_view::npos || stored.find('\0') != std::string_view::npos) return false;
  const std::string phrase(password);
  const std::string setting(stored);
  // crypt_data is some 32 kB: too big for a handler thread's stack.
  auto data = std::make_unique<crypt_data>();
  const char* result = nullptr;
  {
    TCheckSlot slot;
    result = ::crypt_rn(phrase.c_str(), setting.c_str(), data.get(), sizeof(crypt_data));
  }
  const bool match = result != nullptr && result[0] != '*' && ConstantTimeEquals(result, stored);
  ::explicit_bzero(data.get(), sizeof(crypt_data));
  return match;
}

void SpendPasswordCheckTime(std::string_view password) {
  static const std::string dummy = [] {
    std::string hash, error;
    return HashPassword("no such user", hash, error) ? hash : std::string();
  }();
  if (!dummy.empty()) (void)CheckPassword(dummy, password);
}

bool HashPassword(std::string_view password, std::string& hash, std::string& error) {
  if (password.find('\0') != std::string_view::npos) {
    error = "A password cannot hold a zero byte.";
    return false;
  }
  char setting[CRYPT_GENSALT_OUTPUT_SIZE];
  if (::crypt_gensalt_rn("$y$", 0, nullptr, 0, setting, sizeof setting) == nullptr) {
    error = std::string("Cannot make a salt: ") + std::strerror(errno);
    return false;
  }
  auto data = std::make_unique<crypt_data>();
  const std::string phrase(password);
  const char* result = ::crypt_rn(phrase.c_str(), setting, data.get(), sizeof(crypt_data));
  if (result == nullptr || result[0] == '*') {
    error = std::string("Cannot hash the password: ") + std::strerror(errno);
    ::explicit_bzero(data.get(), sizeof(crypt_data));
    return false;
  }
  hash = result;
  ::explicit_bzero(data.get(), sizeof(crypt_data));
  return true;
}

}  // namespace kelvane
