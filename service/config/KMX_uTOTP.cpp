#include "KMX_uTOTP.h"

#include <openssl/evp.h>
#include <openssl/hmac.h>

#include "KMX_uPasswordHash.h"

namespace kelvane {
namespace {

constexpr std::string_view Base32Alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZ234567";

int Base32Value(char c) {
  if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  const size_t at = Base32Alphabet.find(c);
  return at == std::string_view::npos ? -1 : static_cast<int>(at);
}

}  // namespace

bool DecodeBase32(std::string_view text, std::string& bytes) {
  bytes.clear();
  unsigned buffer = 0;
  int bits = 0;
  for (const char c : text) {
    if (c == ' ' || c == '-' || c == '=') continue;
    const int value = Base32Value(c);
    if (value < 0) return false;
    buffer = (buffer << 5) | static_cast<unsigned>(value);
    bits += 5;
    if (bits >= 8) {
      bits -= 8;
      bytes.push_back(static_cast<char>((buffer >> bits) & 0xFF));
    }
  }
  return !bytes.empty();
}

std::string EncodeBase32(std::string_view bytes) {
  std::string text;
  unsigned buffer = 0;
  int bits = 0;
  for (const char c : bytes) {
    buffer = (buffer << 8) | static_cast<unsigned char>(c);
    bits += 8;
    while (bits >= 5) {
      bits -= 5;
      text.push_back(Base32Alphabet[(buffer >> bits) & 31]);
    }
  }
  if (bits > 0) text.push_back(Base32Alphabet[(buffer << (5 - bits)) & 31]);
  return text;
}

std::int64_t TOTPStepOf(TimePoint when) {
  const auto sinceEpoch = std::chrono::duration_cast<std::chrono::seconds>(when.time_since_epoch());
  return sinceEpoch.count() / TOTPStep.count();
}

std::string TOTPCode(std::string_view key, std::int64_t step) {
  unsigned char counter[8];
  for (int i = 7; i >= 0; --i) {
    counter[i] = static_cast<unsigned char>(step & 0xFF);
    step >>= 8;
  }
  unsigned char mac[EVP_MAX_MD_SIZE];
  unsigned int macLength = 0;
  if (::HMAC(::EVP_sha1(), key.data(), static_cast<int>(key.size()), counter, sizeof counter, mac, &macLength) ==
          nullptr ||
      macLength < 20) {
    return {};
  }
  const int offset = mac[macLength - 1] & 0x0F;
  const std::uint32_t binary = (static_cast<std::uint32_t>(mac[offset] & 0x7F) << 24) |
                               (static_cast<std::uint32_t>(mac[offset + 1]) << 16) |
                               (static_cast<std::uint32_t>(mac[offset + 2]) << 8) | mac[offset + 3];
  std::string code = std::to_string(binary % 1000000);
  code.insert(0, 6 - code.size(), '0');
  return code;
}

bool TTOTPVerifier::Verify(const std::string& user, std::string_view key, std::string_view code) {
  if (code.size() != 6 || key.empty()) return false;
  const std::int64_t now = TOTPStepOf(FClock());
  // Every candidate is computed and compared, so the time taken does not
  // tell which step matched.
  std::int64_t matched = -1;
  for (std::int64_t step = now - 1; step <= now + 1; ++step) {
    if (ConstantTimeEquals(TOTPCode(key, step), code)) matched = step;
  }
  if (matched < 0) return false;
  std::lock_guard lock(FLock);
  const auto used = FLastUsedStep.find(user);
  if (used != FLastUsedStep.end() && matched <= used->second) return false;
  FLastUsedStep[user] = matched;
  return true;
}

}  // namespace kelvane
