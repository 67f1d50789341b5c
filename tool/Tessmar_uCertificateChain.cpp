#include "Tessmar_uCertificateChain.h"

#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <openssl/x509_vfy.h>

#include <memory>

#include "Tessmar_uSubmission.h"
#include "ucFileContent.h"
#include "ucOpenSSLHandles.h"

namespace kelvane {
namespace {

constexpr const char* EndLine = "-----END CERTIFICATE-----";
// A certificate file is a few kilobytes; a bundle of roots a few hundred.
constexpr std::size_t MaxCertificateFileSize = 4 * 1024 * 1024;

using TCertificate = TX509;
using TStore = TOpenSSLHandle<X509_STORE, ::X509_STORE_free>;
using TStoreContext = TOpenSSLHandle<X509_STORE_CTX, ::X509_STORE_CTX_free>;

// The certificates of a PEM file; empty with `error` when there are none.
std::vector<TCertificate> ReadCertificates(const std::string& path, std::string& error) {
  std::vector<TCertificate> certificates;
  std::string text;
  if (!ReadFileContent(path, MaxCertificateFileSize, text, error)) return certificates;
  for (const std::string& pem : PemCertificates(text)) {
    std::unique_ptr<BIO, decltype(&BIO_free)> bio(BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size())),
                                                  &BIO_free);
    if (X509* certificate = PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr)) {
      certificates.emplace_back(certificate);
    }
  }
  ERR_clear_error();
  if (certificates.empty()) error = path + " holds no certificate";
  return certificates;
}

}  // namespace

std::vector<std::string> PemCertificates(const std::string& text) {
  std::vector<std::string> certificates;
  for (size_t begin = text.find(CertificateBeginLine); begin != std::string::npos;
       begin = text.find(CertificateBeginLine, begin + 1)) {
    const size_t end = text.find(EndLine, begin);
    if (end == std::string::npos) break;
    certificates.push_back(text.substr(begin, end + std::char_traits<char>::length(EndLine) - begin) + "\n");
  }
  return certificates;
}

bool CertificateIssuedBy(const std::string& certificatePath, const std::string& rootsPath, std::string& error) {
  std::vector<TCertificate> leaf = ReadCertificates(certificatePath, error);
  if (leaf.empty()) return false;
  std::vector<TCertificate> roots = ReadCertificates(rootsPath, error);
  if (roots.empty()) return false;
  const TStore store(X509_STORE_new());
  for (const TCertificate& root : roots) X509_STORE_add_cert(store.get(), root.get());
  const TStoreContext context(X509_STORE_CTX_new());
  if (!store || !context || X509_STORE_CTX_init(context.get(), store.get(), leaf.front().get(), nullptr) != 1) {
    error = "the certificate check could not be set up";
    return false;
  }
  if (X509_verify_cert(context.get()) == 1) return true;
  error = certificatePath + " was not issued by a root in " + rootsPath + ": " +
          X509_verify_cert_error_string(X509_STORE_CTX_get_error(context.get()));
  ERR_clear_error();
  return false;
}

bool CertificateFingerprint(const std::string& path, std::string& fingerprint, std::string& error) {
  const std::vector<TCertificate> certificates = ReadCertificates(path, error);
  if (certificates.empty()) return false;
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  if (X509_digest(certificates.front().get(), EVP_sha256(), digest, &length) != 1) {
    error = "the fingerprint of " + path + " could not be computed";
    return false;
  }
  static const char digits[] = "0123456789ABCDEF";
  fingerprint.clear();
  for (unsigned int i = 0; i < length; ++i) {
    if (i > 0) fingerprint += ':';
    fingerprint += digits[digest[i] >> 4];
    fingerprint += digits[digest[i] & 0xF];
  }
  return true;
}

}  // namespace kelvane
