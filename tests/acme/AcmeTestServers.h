#pragma once

// A small TLS listener on loopback standing in for the service's HTTPS
// listener: its server context holds an ordinary certificate, the
// tls-alpn-01 responder is embedded with one call, and each connection is
// handshaken and closed. It records whether a handshake served a challenge.

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>
#include <thread>

#include <openssl/ssl.h>

#include "KMX_uAcmeTlsAlpn.h"

namespace kelvane::testing {

class TTlsAlpnTestListener {
 public:
  // `certificateFile` and `keyFile` (unencrypted PEM) are the ordinary
  // certificate.
  TTlsAlpnTestListener(TAcmeTlsAlpnResponder& responder, const std::string& certificateFile,
                       const std::string& keyFile);
  // The same, with the context handed to `configure` instead of a responder.
  TTlsAlpnTestListener(const std::function<void(SSL_CTX*)>& configure, const std::string& certificateFile,
                       const std::string& keyFile);
  ~TTlsAlpnTestListener();

  std::uint16_t Port() const { return FPort; }
  int ChallengeHandshakes() const { return FChallengeHandshakes; }

 private:
  void Serve();

  SSL_CTX* FContext = nullptr;
  int FListener = -1;
  std::uint16_t FPort = 0;
  std::atomic<bool> FStopping{false};
  std::atomic<int> FChallengeHandshakes{0};
  std::thread FThread;
};

// The result of a TLS client handshake with 127.0.0.1:port.
struct TClientHandshake {
  bool Connected = false;
  std::string Alpn;             // the protocol agreed on
  std::string PeerCertificate;  // PEM
};
TClientHandshake HandshakeWith(std::uint16_t port, const std::string& serverName, const std::string& alpn);

}  // namespace kelvane::testing
