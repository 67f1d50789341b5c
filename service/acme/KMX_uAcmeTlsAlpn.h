#pragma once

// The TLS-ALPN-01 answer (RFC 8737): a self-signed certificate for the name,
// with the critical acmeIdentifier extension holding the SHA-256 digest of
// the key authorisation, shown only to a client that offers the protocol
// "acme-tls/1" and names the host through SNI.
//
// An HTTPS listener embeds it with one call on its server context,
// InstallAcmeTlsAlpn, and by closing right after the handshake a connection
// for which IsAcmeTlsAlpnConnection holds. Other connections are untouched.

#include <memory>
#include <string>
#include <string_view>

#include <openssl/ssl.h>

#include "KMX_uAcmeChallenge.h"
#include "KMX_uAcmeKeys.h"

namespace kelvane {

inline constexpr char AcmeTlsAlpnProtocol[] = "acme-tls/1";

// The challenge certificate and its new P-256 key. False, with the reason,
// when OpenSSL fails.
bool MakeTlsAlpnCertificate(std::string_view dnsName, std::string_view keyAuthorization, TPKey& key,
                            TX509& certificate, std::string& error);

// A self-signed certificate for the name without the extension, for a
// listener that must answer before the first certificate is issued.
bool MakeSelfSignedCertificate(std::string_view dnsName, TPKey& key, TX509& certificate, std::string& error);

// The challenge certificates being shown, by host name. Thread-safe: the
// order's thread publishes and withdraws while connection threads look up.
class TAcmeTlsAlpnResponder : public IAcmeChallengeResponder {
 public:
  TAcmeTlsAlpnResponder();
  ~TAcmeTlsAlpnResponder() override;

  TAcmeChallengeType Type() const override { return TAcmeChallengeType::TlsAlpn01; }
  bool Publish(std::string_view dnsName, std::string_view token, std::string_view keyAuthorization,
               std::string& error) override;
  void Withdraw(std::string_view dnsName, std::string_view token) override;

  // Sets the server context's ClientHello callback: a client that offers
  // "acme-tls/1" for a published name is switched to that name's challenge
  // certificate. The responder must outlive the context's connections.
  void Install(SSL_CTX* serverContext);

  // The ClientHello step itself, for a listener that has a ClientHello
  // callback of its own and calls this from it. Answers 1 (go on) or 0 (abort
  // the handshake: "acme-tls/1" was offered for a name with no challenge).
  int OnClientHello(SSL* ssl);

 private:
  struct Impl;
  std::unique_ptr<Impl> FImpl;
};

// True when the ClientHello offers "acme-tls/1"; only valid inside the
// ClientHello callback.
bool OffersAcmeTlsAlpn(SSL* ssl);

// True when the handshake agreed on "acme-tls/1": the connection served a
// challenge and carries no HTTP.
bool IsAcmeTlsAlpnConnection(const SSL* ssl);

}  // namespace kelvane
