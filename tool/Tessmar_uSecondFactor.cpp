#include "Tessmar_uSecondFactor.h"

#include <openssl/err.h>
#include <openssl/rand.h>

#include <array>
#include <cctype>

#include "KMX_uTOTP.h"
#include "ucIniFile.h"

namespace kelvane {
namespace {

// RFC 4226 asks for at least 128 bits and recommends 160, the size of an
// HMAC-SHA-1 key.
constexpr int SecretBytes = 20;

std::string PercentEncoded(const std::string& text) {
  static constexpr char Hex[] = "0123456789ABCDEF";
  std::string encoded;
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (std::isalnum(byte) != 0 || c == '-' || c == '.' || c == '_' || c == '~') {
      encoded += c;
    } else {
      encoded += '%';
      encoded += Hex[byte >> 4];
      encoded += Hex[byte & 15];
    }
  }
  return encoded;
}

}  // namespace

bool NewTOTPSecret(std::string& secret, std::string& error) {
  std::array<unsigned char, SecretBytes> bytes{};
  if (RAND_bytes(bytes.data(), SecretBytes) != 1) {
    error = "The random generator gave no secret (OpenSSL error " + std::to_string(ERR_get_error()) + ").";
    return false;
  }
  secret = EncodeBase32(std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()));
  OPENSSL_cleanse(bytes.data(), bytes.size());
  return true;
}

std::string TOTPIssuer(const TSettingsFields& fields) {
  const std::string& host = fields.CommonName.empty() ? fields.IPNumber : fields.CommonName;
  return host.empty() ? "Vardex" : "Vardex " + host;
}

std::string OtpauthAddress(const std::string& issuer, const std::string& user, const std::string& secret) {
  const std::string encodedIssuer = PercentEncoded(issuer);
  return "otpauth://totp/" + encodedIssuer + ":" + PercentEncoded(user) + "?secret=" + secret +
         "&issuer=" + encodedIssuer;
}

bool GiveTOTPSecret(TdmProcess& process, const std::string& user, const std::string& issuer,
                    TTOTPEnrolment& enrolment, std::string& error) {
  TTOTPEnrolment made;
  made.User = user;
  if (!NewTOTPSecret(made.Secret, error)) return false;
  made.Address = OtpauthAddress(issuer, user, made.Secret);
  if (!process.EditConfiguration(
          [&](TIniDocument& document) { document.WriteString(TOTPSection, user, made.Secret); }, error)) {
    return false;
  }
  enrolment = std::move(made);
  return true;
}

}  // namespace kelvane
