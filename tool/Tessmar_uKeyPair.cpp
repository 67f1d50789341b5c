#include "Tessmar_uKeyPair.h"

#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/x509.h>

#include <filesystem>
#include <memory>
#include <system_error>

#include "ucOpenSSLHandles.h"
#include "ucPaths.h"

namespace kelvane {
namespace {

// The suffix of the new set while it waits for its certificate.
constexpr const char* PendingSuffix = ".new";


std::string OpenSslReason() {
  const unsigned long code = ERR_get_error();
  ERR_clear_error();
  if (code == 0) return "no PEM data";
  char text[256];
  ERR_error_string_n(code, text, sizeof text);
  return text;
}

TBio OpenFile(const std::string& path, std::string& error) {
  TBio bio(BIO_new_file(path.c_str(), "rb"));
  if (!bio) error = path + " cannot be read: " + OpenSslReason();
  return bio;
}

void MakePrivate(const std::string& path, std::error_code& error) {
  std::filesystem::permissions(path, std::filesystem::perms::owner_read | std::filesystem::perms::owner_write,
                               std::filesystem::perm_options::replace, error);
}

}  // namespace

TKeyPairFiles WorkingKeyPairFiles(const std::string& folder) {
  return {ResolvePath(folder + "cert/WSSkey.pem"), ResolvePath(folder + "cert/WSSreq.pem"),
          ResolvePath(folder + "cert/WSScert.pem"), ResolvePath(folder + "cert/CAcert.pem")};
}

TKeyPairFiles PendingKeyPairFiles(const std::string& folder) {
  const TKeyPairFiles working = WorkingKeyPairFiles(folder);
  return {working.Key + PendingSuffix, working.Request + PendingSuffix, working.Certificate + PendingSuffix,
          working.Root + PendingSuffix};
}

bool CertificateMatchesKey(const std::string& certificatePath, const std::string& keyPath,
                           const std::string& passphrase, std::string& error) {
  ERR_clear_error();
  const auto certificateFile = OpenFile(certificatePath, error);
  if (!certificateFile) return false;
  const TX509 certificate(
      PEM_read_bio_X509(certificateFile.get(), nullptr, nullptr, nullptr));
  if (!certificate) {
    error = certificatePath + " holds no certificate: " + OpenSslReason();
    return false;
  }
  const auto keyFile = OpenFile(keyPath, error);
  if (!keyFile) return false;
  const TPKey key(PEM_read_bio_PrivateKey(
      keyFile.get(), nullptr, nullptr, const_cast<char*>(passphrase.c_str())));
  if (!key) {
    error = keyPath + " holds no key that opens with the passphrase: " + OpenSslReason();
    return false;
  }
  if (X509_check_private_key(certificate.get(), key.get()) != 1) {
    ERR_clear_error();
    error = "The certificate from the authority does not belong to the new private key.";
    return false;
  }
  return true;
}

bool InstallKeyPair(const TKeyPairFiles& pending, const TKeyPairFiles& working, std::string& error) {
  std::error_code failure;
  MakePrivate(pending.Key, failure);
  if (!failure) MakePrivate(pending.Certificate, failure);
  if (failure) {
    error = "The new key and certificate could not be made private: " + failure.message();
    return false;
  }
  // Each rename replaces its file whole. Should the certificate's fail after
  // the key's succeeded, the old key comes back from a second name, so the
  // working key and certificate still belong together.
  const std::string previousKey = working.Key + ".old";
  std::error_code ignored;
  std::filesystem::remove(previousKey, ignored);
  const bool keptPreviousKey = std::filesystem::exists(working.Key, ignored) &&
                               (std::filesystem::create_hard_link(working.Key, previousKey, ignored), !ignored);
  std::filesystem::rename(pending.Key, working.Key, failure);
  if (!failure) {
    std::filesystem::rename(pending.Certificate, working.Certificate, failure);
    if (failure && keptPreviousKey) std::filesystem::rename(previousKey, working.Key, ignored);
  }
  if (!failure) std::filesystem::rename(pending.Request, working.Request, failure);
  if (!failure && std::filesystem::exists(pending.Root, ignored)) {
    std::filesystem::rename(pending.Root, working.Root, failure);
  }
  std::filesystem::remove(previousKey, ignored);
  if (failure) {
    error = "The new key and certificate could not be put in place: " + failure.message();
    return false;
  }
  return true;
}

void RemoveKeyPairFiles(const TKeyPairFiles& files) {
  for (const std::string* path : {&files.Key, &files.Request, &files.Certificate, &files.Root}) {
    std::error_code ignored;
    std::filesystem::remove(*path, ignored);
  }
}

}  // namespace kelvane
