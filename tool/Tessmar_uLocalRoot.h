#pragma once

// A root certificate of the installation's own, for servers on an internal
// network that no public or organisational authority serves. The tool makes
// it once with the openssl program, keeps its key beside the server's files
// (readable by the owner only; it never leaves the machine) and issues the
// server's certificate from it. Browsers trust the server once the
// administrator has them trust this root.

#include <string>

namespace kelvane {

struct TLocalRootFiles {
  std::string Key;          // "Cert/LocalRootkey.pem", unencrypted, 0600
  std::string Certificate;  // "Cert/LocalRootcert.pem"
};

// The files below an installation folder that ends in a separator.
TLocalRootFiles LocalRootFiles(const std::string& folder);

// The openssl arguments after the program name that make a new root for the
// server `commonName`: an RSA key of 3072 bits and a self-signed authority
// certificate valid for ten years that may sign server certificates only.
std::string OpensslLocalRootArguments(const TLocalRootFiles& files, const std::string& commonName);

// Days an issued server certificate is valid: under the 825 days that
// browsers accept for certificates of a root they were told to trust.
inline constexpr int LocalServerCertificateDays = 820;

// The note for the closing message and the readme: which file to trust in
// the browser and the fingerprint to compare. Lines end in "\r\n".
std::string LocalRootTrustNote(const std::string& rootPath, const std::string& fingerprint);

}  // namespace kelvane
