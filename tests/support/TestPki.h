#pragma once

// Certificates and keys for tests, made with the real openssl program: a root
// certificate "CAcert.pem", a server certificate "WSScert.pem" signed by it
// and the server's private key "WSSkey.pem", encrypted with the service's own passphrase
// (ucKeyPassphrase).
// The RSA keys are generated once per test process and reused; certificates
// are made once per set of options.

#include <string>

#include "ucKeyPassphrase.h"

namespace kelvane::testing {

struct TTestPkiOptions {
  // The server certificate's subject, in openssl's "/K=V/..." form.
  std::string Subject = "/CN=localhost";
  // The subjectAltName extension; empty leaves it out.
  std::string SubjectAltName = "DNS:localhost,IP:127.0.0.1";
  // Sign the server certificate with another authority than CAcert.pem.
  bool ForeignAuthority = false;
  // The passphrase "WSSkey.pem" is encrypted with; empty writes it unencrypted.
  std::string KeyPassphrase = kelvane::KeyPassphrase;
  int Days = 365;
};

struct TTestPkiFiles {
  std::string RootCertificate;  // folder + "CAcert.pem"
  std::string Certificate;      // folder + "WSScert.pem"
  std::string Key;              // folder + "WSSkey.pem"
};

// Writes the three files into `folder` (made when missing; a trailing "/" is
// optional). Throws std::runtime_error when openssl fails.
TTestPkiFiles WriteTestPki(const std::string& folder, const TTestPkiOptions& options = {});

}  // namespace kelvane::testing
