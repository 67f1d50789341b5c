#include "KMX_uAcmeCsr.h"

#include <memory>

#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include "KMX_uAcmeKeys.h"

namespace kelvane {

namespace {

constexpr std::size_t MaxCommonNameLength = 64;

using TReq = TOpenSSLHandle<X509_REQ, ::X509_REQ_free>;
struct TExtensionsFree {
  void operator()(STACK_OF(X509_EXTENSION) * extensions) const noexcept {
    ::sk_X509_EXTENSION_pop_free(extensions, ::X509_EXTENSION_free);
  }
};

}  // namespace

bool MakeCertificateRequest(std::string_view dnsName, EVP_PKEY* key, std::string& der, std::string& error) {
  const std::string host(dnsName);
  if (host.empty() || host.size() > MaxCommonNameLength) {
    error = "\"" + host + "\" cannot be a certificate's common name (1 to 64 characters)";
    return false;
  }
  TReq request(::X509_REQ_new());
  std::unique_ptr<STACK_OF(X509_EXTENSION), TExtensionsFree> extensions(sk_X509_EXTENSION_new_null());
  X509_EXTENSION* altName = ::X509V3_EXT_conf_nid(nullptr, nullptr, NID_subject_alt_name, ("DNS:" + host).c_str());
  if (altName != nullptr && extensions && sk_X509_EXTENSION_push(extensions.get(), altName) == 0) {
    ::X509_EXTENSION_free(altName);
    altName = nullptr;
  }
  X509_NAME* subject = request ? ::X509_REQ_get_subject_name(request.get()) : nullptr;
  const bool made =
      subject != nullptr && altName != nullptr && ::X509_REQ_set_version(request.get(), X509_REQ_VERSION_1) == 1 &&
      ::X509_NAME_add_entry_by_txt(subject, "CN", MBSTRING_UTF8, reinterpret_cast<const unsigned char*>(host.c_str()),
                                   -1, -1, 0) == 1 &&
      ::X509_REQ_add_extensions(request.get(), extensions.get()) == 1 &&
      ::X509_REQ_set_pubkey(request.get(), key) == 1 && ::X509_REQ_sign(request.get(), key, ::EVP_sha256()) > 0;
  unsigned char* bytes = nullptr;
  const int length = made ? ::i2d_X509_REQ(request.get(), &bytes) : -1;
  if (length <= 0) {
    error = "cannot make the certificate request for " + host + ": " + TakeOpenSSLError();
    return false;
  }
  der.assign(reinterpret_cast<const char*>(bytes), static_cast<std::size_t>(length));
  ::OPENSSL_free(bytes);
  return true;
}

}  // namespace kelvane
