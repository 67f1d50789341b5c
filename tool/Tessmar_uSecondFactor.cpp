#include "Tessmar_uSecondFactor.h"

#include <openssl/err.h>
#include <openssl/rand.h>

#include <array>

#include "KMX_uTOTP.h"
#include "ucIniFile.h"
#include "ucURLEncoding.h"

namespace kelvane {
namespace {

// RFC 4226 asks for at least 128 bits and recommends 160, the size of an
// HMAC-SHA-1 key.
constexpr int SecretBytes = 20;

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
  const std::string encodedIssuer = EncodeURLComponent(issuer);
  return "otpauth://totp/" + encodedIssuer + ":" + EncodeURLComponent(user) + "?secret=" + secret +
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
