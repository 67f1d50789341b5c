#pragma once

// The certificate signing request sent to finalise an order: the name as the
// subject's common name and as the only subjectAltName, signed with the
// certificate's own key.

#include <string>
#include <string_view>

#include <openssl/evp.h>

namespace kelvane {

// The request in DER, as ACME wants it. False, with the reason, when OpenSSL
// fails or the name is longer than a common name may be (64 characters).
bool MakeCertificateRequest(std::string_view dnsName, EVP_PKEY* key, std::string& der, std::string& error);

}  // namespace kelvane
