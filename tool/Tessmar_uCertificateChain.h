#pragma once

// The root side of the server's certificate: the certificates of a PEM text,
// whether a certificate was issued by a root the service will check it
// against ("Cert/CAcert.pem"), and the fingerprint an administrator compares
// before trusting a root in a browser.

#include <string>
#include <vector>

namespace kelvane {

// The PEM certificates in a text, in order, each from its begin line to its
// end line and a line feed.
std::vector<std::string> PemCertificates(const std::string& text);

// True when the certificate (a PEM file) verifies against the certificates
// of `rootsPath` (a PEM file) as trusted roots. Otherwise `error` says why.
bool CertificateIssuedBy(const std::string& certificatePath, const std::string& rootsPath, std::string& error);

// The SHA-256 fingerprint of the first certificate of a PEM file, as browsers
// show it: upper-case hexadecimal pairs joined by colons.
bool CertificateFingerprint(const std::string& path, std::string& fingerprint, std::string& error);

}  // namespace kelvane
