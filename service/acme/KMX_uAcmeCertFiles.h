#pragma once

// Turns an issued chain into the service's three certificate files: the
// private key "WSSkey.pem" (encrypted with the service's passphrase), the
// certificate "WSScert.pem" and the issuers "CAcert.pem", which must let
// `openssl verify -CAfile CAcert.pem WSScert.pem` succeed. Each file is
// replaced in one step and readable by its owner only.

#include <string>
#include <string_view>
#include <vector>

#include <openssl/evp.h>

namespace kelvane {

inline constexpr char AcmeKeyFileName[] = "WSSkey.pem";
inline constexpr char AcmeCertificateFileName[] = "WSScert.pem";
inline constexpr char AcmeIssuersFileName[] = "CAcert.pem";

// The PEM certificates in `pem`, in order, each re-encoded. False when there
// is none or one cannot be read.
bool SplitPemChain(std::string_view pem, std::vector<std::string>& certificates, std::string& error);

// The issuers for CAcert.pem: the chain's certificates after the first and,
// when the last of them is not self-signed, the root from `rootsFile` (PEM,
// may be empty) that signed it. Without such a root the issuers stay as the
// chain has them, for a root that the system's store holds.
bool IssuersWithRoot(const std::vector<std::string>& chain, std::string_view rootsFile, std::string& issuers,
                     std::string& error);

// Writes the three files into `folder` (ending in a separator): the key
// first and the issuers last.
bool WriteCertificateFiles(std::string_view folder, EVP_PKEY* key, std::string_view passphrase,
                           std::string_view pemChain, std::string_view rootsFile, std::string& error);

}  // namespace kelvane
