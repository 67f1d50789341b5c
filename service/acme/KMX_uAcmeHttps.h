#pragma once

// The ACME client's HTTPS transport: one request per connection, over
// Boost.Beast and OpenSSL, with the server's certificate verified against the
// system's roots plus optional extra roots, and a time limit on every step.

#include <chrono>
#include <string>
#include <string_view>
#include <vector>

namespace kelvane {

struct TAcmeHttpReply {
  int Status = 0;
  std::string ContentType;
  std::string Location;
  std::string ReplayNonce;
  std::string RetryAfter;
  std::vector<std::string> Links;
  std::string Body;
};

// The parts of an "https://host[:port]/path" address.
struct THttpsUrl {
  std::string Host;  // without the brackets of an IPv6 literal
  std::string Port = "443";
  std::string Target = "/";
};
// False, with the reason, for anything but an https address with a host.
bool ParseHttpsUrl(std::string_view url, THttpsUrl& parts, std::string& error);

enum class THttpMethod { Get, Head, Post };

class TAcmeHttps {
 public:
  // `extraRootsFile` (PEM, may be empty) is trusted beside the system's roots.
  explicit TAcmeHttps(std::string extraRootsFile, std::chrono::milliseconds timeOut = std::chrono::seconds(30));

  // Sends one request and reads the whole answer. False, with a reason that
  // names the address, when the server cannot be reached, its certificate
  // does not verify, or the answer is not HTTP; any HTTP status is true.
  // A POST body is sent as application/jose+json.
  bool Request(THttpMethod method, std::string_view url, std::string_view body, TAcmeHttpReply& reply,
               std::string& error) const;

 private:
  std::string FExtraRootsFile;
  std::chrono::milliseconds FTimeOut;
};

}  // namespace kelvane
