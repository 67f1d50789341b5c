#pragma once

// A small TLS listener on loopback standing in for the service's HTTPS
// listener: its server context holds an ordinary certificate, the
// tls-alpn-01 responder is embedded with one call, and each connection is
// handshaken and closed. It records whether a handshake served a challenge.
// Beside it, a scripted HTTPS server standing in for an ACME server.

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <openssl/ssl.h>

#include "KMX_uAcmeTlsAlpn.h"

namespace kelvane::testing {

// The loopback socket both test servers accept on, with the TLS server
// context they answer with: an ordinary certificate (unencrypted PEM) and a
// socket listening on 127.0.0.1 at a free port. Throws when the certificate
// cannot be loaded.
class TLoopbackTlsSocket {
 public:
  TLoopbackTlsSocket(const std::string& certificateFile, const std::string& keyFile);
  ~TLoopbackTlsSocket();
  TLoopbackTlsSocket(const TLoopbackTlsSocket&) = delete;
  TLoopbackTlsSocket& operator=(const TLoopbackTlsSocket&) = delete;

  SSL_CTX* Context() const { return FContext; }
  std::uint16_t Port() const { return FPort; }
  // Until `stopping`: takes each connection, and after a TLS handshake hands
  // it to `handshaken` and closes it. Run on a thread of its own.
  void Serve(const std::atomic<bool>& stopping, const std::function<void(SSL*)>& handshaken) const;
  // Wakes a Serve() waiting for a connection, so its thread can end.
  void Shutdown() const;

 private:
  SSL_CTX* FContext = nullptr;
  int FListener = -1;
  std::uint16_t FPort = 0;
};

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

  std::uint16_t Port() const { return FSocket.Port(); }
  int ChallengeHandshakes() const { return FChallengeHandshakes; }

 private:
  TLoopbackTlsSocket FSocket;
  std::atomic<bool> FStopping{false};
  std::atomic<int> FChallengeHandshakes{0};
  std::thread FThread;
};

// A scripted HTTPS server on loopback: one request per connection, each
// answered with what `answer` makes of it (a whole HTTP response). It keeps
// every request it read.
struct THttpsTestRequest {
  std::string Method;
  std::string Target;
  std::string Body;
};
class THttpsTestServer {
 public:
  using TAnswer = std::function<std::string(const THttpsTestRequest&)>;
  // `certificateFile` and `keyFile` (unencrypted PEM) are the server's.
  THttpsTestServer(const std::string& certificateFile, const std::string& keyFile, TAnswer answer);
  ~THttpsTestServer();
  THttpsTestServer(const THttpsTestServer&) = delete;
  THttpsTestServer& operator=(const THttpsTestServer&) = delete;

  std::uint16_t Port() const { return FSocket.Port(); }
  std::vector<THttpsTestRequest> Requests() const;

 private:
  void Answer(SSL* ssl);

  TAnswer FAnswer;
  TLoopbackTlsSocket FSocket;
  std::atomic<bool> FStopping{false};
  mutable std::mutex FLock;
  std::vector<THttpsTestRequest> FRequests;
  std::thread FThread;
};

// A whole HTTP response with a Content-Length and the given extra header
// lines (each ending in CRLF).
std::string HttpResponse(int status, const std::string& headers, const std::string& body);

// The result of a TLS client handshake with 127.0.0.1:port.
struct TClientHandshake {
  bool Connected = false;
  std::string Alpn;             // the protocol agreed on
  std::string PeerCertificate;  // PEM
};
TClientHandshake HandshakeWith(std::uint16_t port, const std::string& serverName, const std::string& alpn);

}  // namespace kelvane::testing
