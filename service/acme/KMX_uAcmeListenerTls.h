#pragma once

// What ACME adds to the HTTPS listener's server context, through its
// ClientHello callback: the tls-alpn-01 answer, and a certificate loaded
// while the listener runs, which every new connection then gets. Open
// connections keep the certificate they started with, so a renewal drops
// none of them and needs no restart.

#include <memory>
#include <mutex>
#include <string>
#include <string_view>

#include <openssl/ssl.h>

#include "KMX_uAcmeTlsAlpn.h"

namespace kelvane {

class TAcmeListenerTls {
 public:
  // `responder` answers tls-alpn-01 validations; it must outlive every
  // context this object is installed on.
  explicit TAcmeListenerTls(TAcmeTlsAlpnResponder& responder);

  // Sets the context's ClientHello callback. Called for every context the
  // listener loads; a context loaded from the files drops an earlier
  // replacement, since the files are then the newest.
  void Install(SSL_CTX* serverContext);

  // Loads the certificate, its key (opened with `passphrase`) and the chain
  // built from `issuersFile`, for the connections that start from now on.
  bool UseCertificate(const std::string& certificateFile, const std::string& keyFile, const std::string& issuersFile,
                      std::string_view passphrase, std::string& error);

 private:
  int OnClientHello(SSL* ssl);

  TAcmeTlsAlpnResponder& FResponder;
  std::mutex FLock;
  std::shared_ptr<SSL_CTX> FReplacement;
};

}  // namespace kelvane
