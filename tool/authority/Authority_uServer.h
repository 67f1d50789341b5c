#pragma once

// A reference certificate authority on plain HTTP: it takes the request the
// configuration tool posts (fields "CertReq", "LocalNow", "LocalTimeZoneBias",
// "UserEMail"; line feeds in the request written as "{*}" and "+" as "{P}"),
// signs it and answers the PEM certificate followed by the root certificate,
// written the same way, or a text that begins with "error".

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "Authority_uSigner.h"

namespace kelvane {

struct TAuthorityAnswer {
  int Status = 200;
  std::string Body;
};

// Answers one HTTP request; no connection involved.
class TAuthority {
 public:
  // `path` is the address of the endpoint ("/certreq"); a query is ignored.
  TAuthority(TCertificateSigner signer, std::string path);

  TAuthorityAnswer Answer(const std::string& method, const std::string& target, const std::string& body) const;

  // False stands in for an authority that answers the certificate alone.
  bool HandsOutRoot = true;

  // One line about every answered submission, for the program's output.
  std::function<void(const std::string& line)> OnLog;

 private:
  TCertificateSigner FSigner;
  std::string FPath;
};

// Serves a TAuthority on one address and port: one request per connection,
// answered and closed.
class TAuthorityServer {
 public:
  static constexpr std::size_t MaxBodySize = 64 * 1024;

  explicit TAuthorityServer(const TAuthority& authority);
  ~TAuthorityServer();
  TAuthorityServer(const TAuthorityServer&) = delete;
  TAuthorityServer& operator=(const TAuthorityServer&) = delete;

  // Listens on a dotted IPv4 address and port (0 = any free port). False
  // with the reason when the address cannot be used.
  bool Listen(const std::string& address, std::uint16_t port, std::string& error);

  // The port listened on.
  std::uint16_t Port() const;

  // Serves on a thread of its own until Stop.
  void Start();
  // Serves on the calling thread until Stop (from another thread) or until
  // the process receives SIGINT or SIGTERM.
  void Run();
  void Stop();

 private:
  struct Impl;
  std::unique_ptr<Impl> FImpl;
};

}  // namespace kelvane
