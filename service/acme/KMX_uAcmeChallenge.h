#pragma once

// What every ACME challenge answer is built from, and the interface of the
// parts that publish the answers while an order is open.

#include <string>
#include <string_view>

#include <openssl/evp.h>

namespace kelvane {

enum class TAcmeChallengeType { TlsAlpn01, Http01 };

// "tls-alpn-01" or "http-01", as the server names them.
const char* AcmeChallengeName(TAcmeChallengeType type);
// False for any other name.
bool ParseAcmeChallengeName(std::string_view name, TAcmeChallengeType& type);

// The key authorisation of RFC 8555 section 8.1: the token, a dot, and the
// account key's JWK thumbprint.
std::string KeyAuthorization(std::string_view token, EVP_PKEY* accountKey);

// Publishes the answer to one challenge until it is withdrawn. Called from
// the thread that runs the order; implementations answer the validation
// requests on threads of their own.
class IAcmeChallengeResponder {
 public:
  virtual ~IAcmeChallengeResponder() = default;
  virtual TAcmeChallengeType Type() const = 0;
  virtual bool Publish(std::string_view dnsName, std::string_view token, std::string_view keyAuthorization,
                       std::string& error) = 0;
  virtual void Withdraw(std::string_view dnsName, std::string_view token) = 0;
};

}  // namespace kelvane
