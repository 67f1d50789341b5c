#pragma once

// The HTTPS listener. It accepts TLS connections on one address and port,
// reads one request per connection, answers it and closes the connection (no
// keep-alive).
//
// Connections cost no thread while they shake hands, wait for their request
// or take their answer: a small pool of I/O threads drives them, with
// deadlines, so slow or idle clients cannot tie the service up. A complete
// request is first offered to the quick handler on the I/O thread that read
// it (answers that cannot block leave from there at once); what it leaves
// takes a connection thread from a reusable pool, for the handler and for the
// response's AfterSent work.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include <openssl/types.h>

#include "KMX_uHTTPRequest.h"

namespace kelvane {

// Called on a connection thread for every HEAD, GET and POST request. An
// exception that leaves it is answered with status 500 and a short generic
// text; its message goes to the settings' error sink, never to the client.
using THTTPHandler = std::function<void(const THTTPRequest& request, THTTPResponse& response)>;

// The server side of TLS: the three PEM files and where the key's passphrase
// comes from. The files are read when the server starts.
struct TTLSServerFiles {
  std::string CertificateFile;
  std::string KeyFile;
  std::string RootCertificateFile;
  // Asked when the private key is encrypted.
  std::function<std::string()> GetPassword;
};

struct THTTPSServerSettings {
  // A dotted IPv4 (or IPv6) address; empty listens on all local IPv4 addresses.
  std::string Address;
  // 0 picks a free port (see LocalPort()).
  std::uint16_t Port = 443;
  // Longest life of one connection, from accept to close.
  std::chrono::milliseconds SessionTimeOut{1200000};
  // How long Stop() waits for running handlers.
  std::chrono::milliseconds TerminateWaitTime{5000};
  // Time a new connection has to finish its TLS handshake and send its whole
  // request; also the time the client has to take the response.
  std::chrono::milliseconds RequestTimeOut{10000};
  // Largest request body; a bigger one is answered with 413.
  std::size_t BodyLimit = 64 * 1024;
  // Largest request line plus header fields; more is answered with 431.
  std::size_t HeaderLimit = 8 * 1024;
  // Open connections at most. When full, the oldest connection that is still
  // in its handshake or waiting for its request makes room for the new one.
  // The descriptors the process's open-file limit leaves free lower it when
  // needed, so the cap is reached before the system runs out of descriptors.
  std::size_t MaxConnections = 4096;
  // Handlers running at once at most; further requests wait for a thread.
  std::size_t MaxHandlerThreads = 64;
  // Gets the message of every exception a handler let out; may be empty.
  std::function<void(std::string_view)> ErrorSink;
};

// Every HTML answer carries these header fields: no part of a page may come
// from elsewhere, be framed or be cached, and the browser keeps to HTTPS.
// Inline styles stay allowed, since the page templates use them.
inline constexpr char HTMLSecurityHeaders[] =
    "Content-Security-Policy: default-src 'none'; style-src 'unsafe-inline'; img-src 'self' data:; "
    "form-action 'self'; frame-ancestors 'none'; base-uri 'none'\r\n"
    "X-Frame-Options: DENY\r\n"
    "Strict-Transport-Security: max-age=31536000\r\n"
    "Cache-Control: no-store\r\n"
    "Referrer-Policy: no-referrer\r\n"
    "X-Content-Type-Options: nosniff\r\n";

// Called on the I/O thread that read a request, before the handler, for the
// answers that cannot block: no file work, no password check, no lock held
// for long. True when it answered (its AfterSent is not run); false hands the
// request to the handler on a connection thread. An exception that leaves it
// is answered like one from the handler.
using THTTPQuickHandler = std::function<bool(const THTTPRequest& request, THTTPResponse& response)>;

class THTTPSServer {
 public:
  explicit THTTPSServer(THTTPHandler handler);
  // Stops the listener and waits for every handler to end. Never call it from
  // a handler.
  ~THTTPSServer();
  THTTPSServer(const THTTPSServer&) = delete;
  THTTPSServer& operator=(const THTTPSServer&) = delete;

  // Loads the TLS files and starts listening. False, with the reason in
  // `error` (for a port in use the socket's own text, "Address already in
  // use"), when the server is already listening or anything fails; nothing is
  // left listening then.
  bool Start(const THTTPSServerSettings& settings, const TTLSServerFiles& tls, std::string& error);

  // Closes the listening socket and every open connection, then waits up to
  // the terminate wait time for running handlers. Called from a handler (or
  // its AfterSent), it leaves that request's own connection alone and does
  // not wait for it. Does nothing when not listening.
  void Stop();

  // Stops for good: closes the listener and every connection, then waits for
  // every handler and its AfterSent work to end (one of them may have started
  // the listener again, which is stopped too). Never call it from a handler.
  void Close();

  bool Active() const;

  // Set it before Start(); without one every request goes to the handler.
  void SetQuickHandler(THTTPQuickHandler quick);

  // Called with each server context Start() loads from the files, for
  // callbacks of its own (ACME challenges, a certificate obtained while
  // running). Set it before Start().
  void SetConfigureContext(std::function<void(SSL_CTX*)> configure);

  // The port listened on (the chosen one when started with port 0); 0 when
  // not listening.
  std::uint16_t LocalPort() const;

 private:
  struct Impl;
  std::unique_ptr<Impl> FImpl;
};

}  // namespace kelvane
