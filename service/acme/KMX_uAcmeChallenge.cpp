#include "KMX_uAcmeChallenge.h"

#include "KMX_uAcmeJws.h"

namespace kelvane {

const char* AcmeChallengeName(TAcmeChallengeType type) {
  return type == TAcmeChallengeType::Http01 ? "http-01" : "tls-alpn-01";
}

bool ParseAcmeChallengeName(std::string_view name, TAcmeChallengeType& type) {
  for (TAcmeChallengeType candidate : {TAcmeChallengeType::TlsAlpn01, TAcmeChallengeType::Http01}) {
    if (name == AcmeChallengeName(candidate)) {
      type = candidate;
      return true;
    }
  }
  return false;
}

std::string KeyAuthorization(std::string_view token, EVP_PKEY* accountKey) {
  return std::string(token) + "." + JwkThumbprint(accountKey);
}

}  // namespace kelvane
