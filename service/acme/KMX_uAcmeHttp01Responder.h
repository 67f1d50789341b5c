#pragma once

// The HTTP-01 answer (RFC 8555 section 8.3): a plain HTTP listener that
// serves "/.well-known/acme-challenge/<token>" with the key authorisation,
// open only while an order needs it (normally on port 80). Every other
// request gets 404.

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "KMX_uAcmeChallenge.h"

namespace kelvane {

class TAcmeHttp01Responder : public IAcmeChallengeResponder {
 public:
  TAcmeHttp01Responder();
  ~TAcmeHttp01Responder() override;

  // Listens on the address and port (0 picks a free one) on a thread of its
  // own. False, with the socket's reason, when it cannot.
  bool Start(const std::string& address, std::uint16_t port, std::string& error);
  void Stop();
  std::uint16_t LocalPort() const;

  TAcmeChallengeType Type() const override { return TAcmeChallengeType::Http01; }
  bool Publish(std::string_view dnsName, std::string_view token, std::string_view keyAuthorization,
               std::string& error) override;
  void Withdraw(std::string_view dnsName, std::string_view token) override;

 private:
  struct Impl;
  std::unique_ptr<Impl> FImpl;
};

}  // namespace kelvane
