#include "KMX_uTLSContext.h"

#include <openssl/err.h>
#include <openssl/ssl.h>

#include <boost/asio/ssl.hpp>

#include "KMX_uTicketKeys.h"

namespace kelvane {

namespace {
namespace ssl = boost::asio::ssl;
using boost::system::error_code;
}  // namespace

bool LoadTLSContext(const TTLSServerFiles& files, std::shared_ptr<ssl::context>& context, std::string& error) {
  ::ERR_clear_error();
  auto tls = std::make_shared<ssl::context>(ssl::context::tls_server);
  SSL_CTX* handle = tls->native_handle();
  tls->set_options(ssl::context::default_workarounds | ssl::context::no_sslv2 | ssl::context::no_sslv3 |
                   ssl::context::no_tlsv1 | ssl::context::no_tlsv1_1 | ssl::context::single_dh_use |
                   ssl::context::no_compression);
  ::SSL_CTX_set_min_proto_version(handle, TLS1_2_VERSION);
  // Client-started renegotiation is only good for tying up the CPU.
  ::SSL_CTX_set_options(handle, SSL_OP_NO_RENEGOTIATION | SSL_OP_CIPHER_SERVER_PREFERENCE);
  // Idle connections give their record buffers back.
  ::SSL_CTX_set_mode(handle, SSL_MODE_RELEASE_BUFFERS);
  ::SSL_CTX_set_cipher_list(handle, "ECDHE+AESGCM:ECDHE+CHACHA20");
  static constexpr unsigned char SessionContext[] = "kelvane";
  ::SSL_CTX_set_session_id_context(handle, SessionContext, sizeof SessionContext - 1);
  // Returning clients resume with a ticket they hold (TLS 1.3, and TLS 1.2
  // ticket resumption); the server keeps no session of its own, so a flood of
  // handshakes leaves nothing behind. One ticket per connection is enough for
  // a browser that opens one connection per request.
  ::SSL_CTX_set_session_cache_mode(handle, SSL_SESS_CACHE_OFF);
  ::SSL_CTX_set_num_tickets(handle, 1);
  InstallTicketKeys(handle);
  tls->set_verify_mode(ssl::verify_none);
  tls->set_password_callback(
      [getPassword = files.GetPassword](std::size_t, ssl::context::password_purpose) {
        return getPassword ? getPassword() : std::string();
      });

  error_code ec;
  tls->use_certificate_chain_file(files.CertificateFile, ec);
  if (ec) {
    error = "Cannot load the certificate file '" + files.CertificateFile + "': " + ec.message();
    return false;
  }
  tls->use_private_key_file(files.KeyFile, ssl::context::pem, ec);
  if (ec) {
    error = "Cannot load the private key file '" + files.KeyFile + "': " + ec.message();
    return false;
  }
  if (::SSL_CTX_check_private_key(handle) != 1) {
    error = "The private key in '" + files.KeyFile + "' does not belong to the certificate.";
    return false;
  }
  tls->load_verify_file(files.RootCertificateFile, ec);
  if (ec) {
    error = "Cannot load the root certificate file '" + files.RootCertificateFile + "': " + ec.message();
    return false;
  }
  // Left alone, OpenSSL would verify the certificate against the root once
  // per handshake to find the chain to send. Build it once here instead;
  // whether the root really signed the certificate is the start-up checks'
  // business, so a chain that does not build is no error.
  ::SSL_CTX_build_cert_chain(handle, SSL_BUILD_CHAIN_FLAG_NO_ROOT | SSL_BUILD_CHAIN_FLAG_IGNORE_ERROR);
  ::SSL_CTX_set_mode(handle, SSL_MODE_NO_AUTO_CHAIN);
  ::ERR_clear_error();
  context = std::move(tls);
  return true;
}

}  // namespace kelvane
