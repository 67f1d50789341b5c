#pragma once

// A small blocking HTTPS client for tests, on OpenSSL and a loopback socket,
// with time-outs so a misbehaving server fails the test instead of hanging it.

#include <chrono>
#include <cstdint>
#include <string>
#include <string_view>

namespace kelvane::testing {

struct THttpsClientOptions {
  // When set, the server's certificate must verify against this root for the
  // host name "localhost".
  std::string RootCertificateFile;
  // Highest TLS version offered (for example TLS1_1_VERSION); 0 = the library's.
  int MaxProtocolVersion = 0;
  std::chrono::milliseconds TimeOut{10000};
  // The loopback address the client connects from (for example "127.0.0.2");
  // empty lets the system choose.
  std::string SourceAddress{};
};

struct THttpsReply {
  // The TLS handshake succeeded.
  bool Connected = false;
  // Why the exchange failed; empty when a whole answer came back.
  std::string Error;
  int Status = 0;
  // The status line and header fields, without the blank line.
  std::string Head;
  std::string Body;

  // The value of a header field (name compared ignoring case); empty if absent.
  std::string Header(std::string_view name) const;
};

// Sends `request` (raw bytes: request line, header fields, body) over TLS to
// 127.0.0.1:port and reads until the server closes the connection.
THttpsReply HttpsExchange(std::uint16_t port, std::string_view request, const THttpsClientOptions& options = {});

// Builds a request with "Host" and "Connection: close" and, when `body` is
// not empty, an url-encoded form content type and its length.
std::string MakeRequest(std::string_view method, std::string_view target, std::string_view body = {});

// A plain TCP connection to 127.0.0.1:port, for clients that never speak TLS
// (or never finish speaking it).
class TRawConnection {
 public:
  explicit TRawConnection(std::uint16_t port);
  ~TRawConnection();
  TRawConnection(const TRawConnection&) = delete;
  TRawConnection& operator=(const TRawConnection&) = delete;

  bool Connected() const { return FSocket >= 0; }
  bool Send(std::string_view bytes);
  // Waits up to `timeOut` for the server to close the connection; true when
  // it did (end of stream or reset). Whatever arrived is put in `received`.
  bool WaitForClose(std::chrono::milliseconds timeOut, std::string* received = nullptr);

 private:
  int FSocket = -1;
};

}  // namespace kelvane::testing
