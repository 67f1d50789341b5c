#pragma once

// Private keys and certificates of the ACME client as owned OpenSSL objects,
// and their PEM forms. Key generation and PEM decoding answer an empty
// pointer on failure and leave the reason in `error`.

#include <memory>
#include <string>
#include <string_view>

#include <openssl/evp.h>
#include <openssl/x509.h>

#include "ucOpenSSLHandles.h"

namespace kelvane {


// A new ECDSA key on the P-256 curve (account keys, challenge certificates).
TPKey GenerateEcP256Key(std::string& error);

// A new RSA key (the service certificate's key: the certificate checks open
// it as an RSA key).
TPKey GenerateRsaKey(int bits, std::string& error);

// The private key in PEM; encrypted with AES-256 when `passphrase` is not empty.
std::string PrivateKeyToPem(EVP_PKEY* key, std::string_view passphrase = {});
TPKey PrivateKeyFromPem(std::string_view pem, std::string_view passphrase, std::string& error);

std::string CertificateToPem(X509* certificate);
// The first certificate in the PEM text.
TX509 CertificateFromPem(std::string_view pem, std::string& error);

// The last OpenSSL error as text ("no error" when the queue is empty); the
// queue is emptied.
std::string TakeOpenSSLError();

}  // namespace kelvane
