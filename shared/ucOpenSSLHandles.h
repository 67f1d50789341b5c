#pragma once

// OpenSSL objects owned by std::unique_ptr, each freed by its own OpenSSL
// function. Both programs use them; link OpenSSL::Crypto where they are used.

#include <memory>

#include <openssl/bio.h>
#include <openssl/evp.h>
#include <openssl/x509.h>

namespace kelvane {

// Frees with the given OpenSSL function.
template <auto FreeFunction>
struct TOpenSSLFree {
  template <class T>
  void operator()(T* object) const noexcept {
    FreeFunction(object);
  }
};

template <class T, auto FreeFunction>
using TOpenSSLHandle = std::unique_ptr<T, TOpenSSLFree<FreeFunction>>;

using TBio = TOpenSSLHandle<BIO, ::BIO_free>;
using TPKey = TOpenSSLHandle<EVP_PKEY, ::EVP_PKEY_free>;
using TX509 = TOpenSSLHandle<X509, ::X509_free>;

}  // namespace kelvane
