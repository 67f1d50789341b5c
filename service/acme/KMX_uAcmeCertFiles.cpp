#include "KMX_uAcmeCertFiles.h"

#include <openssl/bio.h>
#include <openssl/pem.h>
#include <openssl/x509v3.h>

#include "KMX_uAcmeKeys.h"
#include "ucFileContent.h"

namespace kelvane {

namespace {

constexpr std::size_t MaxRootsFileBytes = 4 * 1024 * 1024;
constexpr std::string_view PemBegin = "-----BEGIN CERTIFICATE-----";

bool IsSelfSigned(X509* certificate) { return ::X509_check_issued(certificate, certificate) == X509_V_OK; }

}  // namespace

bool SplitPemChain(std::string_view pem, std::vector<std::string>& certificates, std::string& error) {
  certificates.clear();
  for (std::size_t at = pem.find(PemBegin); at != std::string_view::npos; at = pem.find(PemBegin, at + 1)) {
    TX509 certificate = CertificateFromPem(pem.substr(at), error);
    if (!certificate) return false;
    certificates.push_back(CertificateToPem(certificate.get()));
  }
  if (certificates.empty()) error = "the chain holds no certificate";
  return !certificates.empty();
}

bool IssuersWithRoot(const std::vector<std::string>& chain, std::string_view rootsFile, std::string& issuers,
                     std::string& error) {
  issuers.clear();
  for (std::size_t i = 1; i < chain.size(); ++i) issuers += chain[i];
  TX509 top = CertificateFromPem(chain.back(), error);
  if (!top) return false;
  if (IsSelfSigned(top.get()) || rootsFile.empty()) return true;
  std::string roots;
  if (!ReadFileContent(rootsFile, MaxRootsFileBytes, roots, error)) {
    error = "cannot read the roots " + std::string(rootsFile) + ": " + error;
    return false;
  }
  std::vector<std::string> candidates;
  if (!SplitPemChain(roots, candidates, error)) return true;
  for (const std::string& candidate : candidates) {
    TX509 root = CertificateFromPem(candidate, error);
    if (root && IsSelfSigned(root.get()) && ::X509_check_issued(root.get(), top.get()) == X509_V_OK) {
      issuers += candidate;
      break;
    }
  }
  return true;
}

bool WriteCertificateFiles(std::string_view folder, EVP_PKEY* key, std::string_view passphrase,
                           std::string_view pemChain, std::string_view rootsFile, std::string& error) {
  std::vector<std::string> chain;
  std::string issuers;
  if (!SplitPemChain(pemChain, chain, error) || !IssuersWithRoot(chain, rootsFile, issuers, error)) return false;
  if (issuers.empty()) {
    error = "the certificate came without its issuer";
    return false;
  }
  const std::string keyPem = PrivateKeyToPem(key, passphrase);
  if (keyPem.empty()) {
    error = "cannot encode the private key: " + TakeOpenSSLError();
    return false;
  }
  const std::string base(folder);
  for (const auto& [name, content] : {std::pair{AcmeKeyFileName, std::string_view(keyPem)},
                                      std::pair{AcmeCertificateFileName, std::string_view(chain.front())},
                                      std::pair{AcmeIssuersFileName, std::string_view(issuers)}}) {
    if (!WritePrivateFile(base + name, content, error)) {
      error = "cannot write " + base + name + ": " + error;
      return false;
    }
  }
  return true;
}

}  // namespace kelvane
