#include "KMX_uAcmeListenerTls.h"

#include <openssl/err.h>

#include "KMX_uAcmeKeys.h"
#include "ucFileContent.h"

namespace kelvane {

namespace {

constexpr std::size_t MaxKeyFileBytes = 64 * 1024;

}  // namespace

TAcmeListenerTls::TAcmeListenerTls(TAcmeTlsAlpnResponder& responder) : FResponder(responder) {}

void TAcmeListenerTls::Install(SSL_CTX* serverContext) {
  {
    std::lock_guard guard(FLock);
    FReplacement.reset();
  }
  ::SSL_CTX_set_client_hello_cb(
      serverContext,
      [](SSL* ssl, int* alert, void* self) {
        if (static_cast<TAcmeListenerTls*>(self)->OnClientHello(ssl) == 1) return SSL_CLIENT_HELLO_SUCCESS;
        *alert = SSL_AD_UNRECOGNIZED_NAME;
        return SSL_CLIENT_HELLO_ERROR;
      },
      this);
}

int TAcmeListenerTls::OnClientHello(SSL* ssl) {
  if (OffersAcmeTlsAlpn(ssl)) return FResponder.OnClientHello(ssl);
  std::shared_ptr<SSL_CTX> replacement;
  {
    std::lock_guard guard(FLock);
    replacement = FReplacement;
  }
  // The connection takes its own reference to the context.
  if (replacement) return ::SSL_set_SSL_CTX(ssl, replacement.get()) != nullptr ? 1 : 0;
  return 1;
}

bool TAcmeListenerTls::UseCertificate(const std::string& certificateFile, const std::string& keyFile,
                                      const std::string& issuersFile, std::string_view passphrase,
                                      std::string& error) {
  ::ERR_clear_error();
  std::shared_ptr<SSL_CTX> context(::SSL_CTX_new(::TLS_server_method()), ::SSL_CTX_free);
  std::string keyPem;
  if (!ReadFileContent(keyFile, MaxKeyFileBytes, keyPem, error)) return false;
  TPKey key = PrivateKeyFromPem(keyPem, passphrase, error);
  if (!key) return false;
  if (!context || ::SSL_CTX_use_certificate_chain_file(context.get(), certificateFile.c_str()) != 1 ||
      ::SSL_CTX_use_PrivateKey(context.get(), key.get()) != 1 || ::SSL_CTX_check_private_key(context.get()) != 1 ||
      ::SSL_CTX_load_verify_locations(context.get(), issuersFile.c_str(), nullptr) != 1) {
    error = "cannot load the new certificate " + certificateFile + ": " + TakeOpenSSLError();
    return false;
  }
  // The chain is built once here, as the listener builds it for its own files.
  ::SSL_CTX_build_cert_chain(context.get(), SSL_BUILD_CHAIN_FLAG_NO_ROOT | SSL_BUILD_CHAIN_FLAG_IGNORE_ERROR);
  ::ERR_clear_error();
  std::lock_guard guard(FLock);
  FReplacement = std::move(context);
  return true;
}

}  // namespace kelvane
