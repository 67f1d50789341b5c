#pragma once

// Signs certificate requests with an organisation's root certificate and key,
// using the openssl program. The requested extensions (the subject
// alternative name above all) are copied into the certificate; the
// certificate is never a certificate authority itself.

#include <string>

namespace kelvane {

struct TSignerOptions {
  std::string Openssl = "openssl";   // the program
  std::string RootCertificate;       // PEM
  std::string RootKey;               // PEM
  std::string RootKeyPassFile;       // file holding the key's passphrase; empty when unencrypted
  int Days = 825;                    // validity of issued certificates
  std::string WorkFolder;            // where requests are handled; the system's temporary folder when empty
};

class TCertificateSigner {
 public:
  explicit TCertificateSigner(TSignerOptions options);

  // Signs a PEM certificate request. True with the PEM certificate; false
  // with the reason (openssl's own words where it gave any).
  bool Sign(const std::string& requestPem, std::string& certificatePem, std::string& error) const;

  const TSignerOptions& Options() const { return FOptions; }

 private:
  TSignerOptions FOptions;
};

}  // namespace kelvane
