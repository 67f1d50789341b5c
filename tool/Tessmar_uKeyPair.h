#pragma once

// The server's key, request and certificate in "Cert/", and the way a new set
// replaces the working one. A new key and request are made beside the working
// files under names of their own; only when the authority's certificate has
// arrived and belongs to the new key do key, certificate and request take the
// working names, one rename each. Until then the service keeps a key and a
// certificate that belong together.

#include <string>

namespace kelvane {

// The files of one set, as full paths. `Root` is the root the service checks
// the certificate against ("Cert/CAcert.pem"); a new set brings one only when
// its issuer handed it out.
struct TKeyPairFiles {
  std::string Key;
  std::string Request;
  std::string Certificate;
  std::string Root;
};

// The working set below an installation folder that ends in a separator, and
// the new set that is made beside it.
TKeyPairFiles WorkingKeyPairFiles(const std::string& folder);
TKeyPairFiles PendingKeyPairFiles(const std::string& folder);

// True when the certificate (PEM) is made for the private key (PEM, opened
// with the passphrase). Otherwise `error` says why.
bool CertificateMatchesKey(const std::string& certificatePath, const std::string& keyPath,
                           const std::string& passphrase, std::string& error);

// Makes key and certificate of `pending` readable by their owner only and
// renames the pending files over the working ones: key, certificate, request,
// and the root when the pending set has one.
// False with the system's reason when a step failed.
bool InstallKeyPair(const TKeyPairFiles& pending, const TKeyPairFiles& working, std::string& error);

// Removes whatever exists of the set; missing files are no error.
void RemoveKeyPairFiles(const TKeyPairFiles& files);

}  // namespace kelvane
