#include "KMX_uAcmeKeys.h"

#include <functional>

#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/rsa.h>

namespace kelvane {

namespace {

using TPKeyCtx = TOpenSSLHandle<EVP_PKEY_CTX, ::EVP_PKEY_CTX_free>;

TBio ReadBio(std::string_view text) { return TBio(::BIO_new_mem_buf(text.data(), static_cast<int>(text.size()))); }

std::string BioText(BIO* bio) {
  char* data = nullptr;
  const long length = ::BIO_get_mem_data(bio, &data);
  return std::string(data, static_cast<std::size_t>(length));
}

TPKey Generate(const char* type, const char* what, std::string& error,
               const std::function<int(EVP_PKEY_CTX*)>& configure) {
  TPKeyCtx context(::EVP_PKEY_CTX_new_from_name(nullptr, type, nullptr));
  EVP_PKEY* key = nullptr;
  if (!context || ::EVP_PKEY_keygen_init(context.get()) <= 0 || configure(context.get()) <= 0 ||
      ::EVP_PKEY_keygen(context.get(), &key) <= 0) {
    error = std::string("cannot make ") + what + ": " + TakeOpenSSLError();
    return nullptr;
  }
  return TPKey(key);
}

}  // namespace

std::string TakeOpenSSLError() {
  const unsigned long code = ::ERR_get_error();
  ::ERR_clear_error();
  if (code == 0) return "no error";
  char text[256];
  ::ERR_error_string_n(code, text, sizeof text);
  return text;
}

TPKey GenerateEcP256Key(std::string& error) {
  return Generate("EC", "an ECDSA P-256 key", error, [](EVP_PKEY_CTX* context) {
    return ::EVP_PKEY_CTX_set_ec_paramgen_curve_nid(context, NID_X9_62_prime256v1);
  });
}

TPKey GenerateRsaKey(int bits, std::string& error) {
  return Generate("RSA", "an RSA key", error,
                  [bits](EVP_PKEY_CTX* context) { return ::EVP_PKEY_CTX_set_rsa_keygen_bits(context, bits); });
}

std::string PrivateKeyToPem(EVP_PKEY* key, std::string_view passphrase) {
  TBio bio(::BIO_new(::BIO_s_mem()));
  const std::string pass(passphrase);
  const EVP_CIPHER* cipher = pass.empty() ? nullptr : ::EVP_aes_256_cbc();
  if (::PEM_write_bio_PrivateKey(bio.get(), key, cipher, nullptr, 0, nullptr,
                                 pass.empty() ? nullptr : const_cast<char*>(pass.c_str())) != 1)
    return {};
  return BioText(bio.get());
}

TPKey PrivateKeyFromPem(std::string_view pem, std::string_view passphrase, std::string& error) {
  TBio bio = ReadBio(pem);
  const std::string pass(passphrase);
  TPKey key(::PEM_read_bio_PrivateKey(bio.get(), nullptr, nullptr, const_cast<char*>(pass.c_str())));
  if (!key) error = "cannot read the private key: " + TakeOpenSSLError();
  return key;
}

std::string CertificateToPem(X509* certificate) {
  TBio bio(::BIO_new(::BIO_s_mem()));
  if (::PEM_write_bio_X509(bio.get(), certificate) != 1) return {};
  return BioText(bio.get());
}

TX509 CertificateFromPem(std::string_view pem, std::string& error) {
  TBio bio = ReadBio(pem);
  TX509 certificate(::PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr));
  if (!certificate) error = "cannot read the certificate: " + TakeOpenSSLError();
  return certificate;
}

}  // namespace kelvane
