#pragma once

// The ACME protocol (RFC 8555) as single exchanges: the directory, nonces,
// signed requests (a "badNonce" refusal is retried with the fresh nonce it
// carries), the account, orders, authorisations, challenges, finalisation and
// the certificate download. Waiting and polling are the caller's.
// Every operation answers a Boolean and hands back a reason that names the
// step and, when the server refused, its problem document.

#include <chrono>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>
#include <openssl/evp.h>

#include "KMX_uAcmeHttps.h"
#include "KMX_uRenewal.h"
#include "ucTime.h"

namespace kelvane {

struct TAcmeDirectory {
  std::string NewNonce;
  std::string NewAccount;
  std::string NewOrder;
  std::string RenewalInfo;  // empty when the server offers no renewal information
};

struct TAcmeOrder {
  std::string Url;
  std::string Status;  // pending, ready, processing, valid, invalid
  std::vector<std::string> Authorizations;
  std::string Finalize;
  std::string Certificate;  // set once the order is valid
  std::string Problem;      // the order's error, when the server gave one
};

struct TAcmeChallengeOffer {
  std::string Type;
  std::string Url;
  std::string Token;
  std::string Status;
};

struct TAcmeAuthorization {
  std::string Status;  // pending, valid, invalid, ...
  std::string Identifier;
  std::vector<TAcmeChallengeOffer> Challenges;
  std::string Problem;  // the failed challenge's error, when there is one
};

// Whether asking again soon can help. A refusal the ACME server means for
// good (a 4xx answer other than badNonce, rateLimited or 429: a wrong
// directory address, an account or a name it will not serve, a request it
// finds malformed) comes back the same however often it is asked; no
// connection, a time-out, a 5xx answer or a rate limit may pass.
enum class TAcmeFailure { Passing, Permanent };
TAcmeFailure ClassifyAcmeAnswer(int status, std::string_view problemType);

// The wait a Retry-After value asks for, in whole seconds or as an HTTP
// date; nothing for an empty or unreadable value.
std::optional<std::chrono::seconds> ParseRetryAfter(std::string_view value, TimePoint now);

class TAcmeClient {
 public:
  // The key signs every request; it must outlive the client. A client that
  // only reads the directory and renewal information needs none.
  TAcmeClient(const TAcmeHttps& https, EVP_PKEY* accountKey);

  bool LoadDirectory(std::string_view url, std::string& error);
  const TAcmeDirectory& Directory() const { return FDirectory; }

  // Creates the account for the key, or finds the one the key already has.
  bool RegisterAccount(std::string_view email, std::string& error);
  const std::string& AccountUrl() const { return FAccountUrl; }

  // `replaces` (a certificate identifier, see AcmeCertificateId) tells the
  // server which certificate the new one succeeds; a server that answers it
  // has been replaced already, or otherwise conflicts, is asked once more
  // without it.
  bool NewOrder(std::string_view dnsName, TAcmeOrder& order, std::string& error, std::string_view replaces = {});
  bool FetchOrder(TAcmeOrder& order, std::string& error);
  bool FetchAuthorization(std::string_view url, TAcmeAuthorization& authorization, std::string& error);
  // Tells the server the challenge is ready to be validated.
  bool AcceptChallenge(std::string_view url, std::string& error);
  bool Finalize(TAcmeOrder& order, std::string_view csrDer, std::string& error);
  // The PEM chain: the certificate first, then its issuers.
  bool DownloadCertificate(std::string_view url, std::string& pemChain, std::string& error);

  // The window the server suggests for renewing the certificate with the
  // identifier `certificateId`: an unsigned GET of "<renewalInfo>/<id>".
  // False, with the reason, when the directory names no renewalInfo, the
  // server refuses or its answer holds no usable window. LastRetryAfter
  // tells when to ask again.
  bool FetchRenewalInfo(std::string_view certificateId, TRenewalWindow& window, std::string& error);

  // What kind of failure the last operation ended with (Passing after a
  // success).
  TAcmeFailure LastFailure() const { return FLastFailure; }

  // The wait the last answer asked for with Retry-After, if any.
  std::optional<std::chrono::seconds> LastRetryAfter() const { return FLastRetryAfter; }

 private:
  // A signed POST (an empty payload is a POST-as-GET). Fails on a non-2xx
  // answer with the server's problem text.
  bool Post(std::string_view what, std::string_view url, std::string_view payload, TAcmeHttpReply& reply,
            std::string& error);
  bool PostForJson(std::string_view what, std::string_view url, std::string_view payload, nlohmann::json& answer,
                   TAcmeHttpReply& reply, std::string& error);
  bool FetchNonce(std::string& error);
  // Notes how the server refused `reply`, for LastFailure.
  void NoteRefusal(const TAcmeHttpReply& reply);
  bool PostOrder(std::string_view dnsName, std::string_view replaces, TAcmeOrder& order, std::string& error);

  const TAcmeHttps& FHttps;
  EVP_PKEY* FAccountKey;
  TAcmeDirectory FDirectory;
  std::string FAccountUrl;
  std::string FNonce;
  std::optional<std::chrono::seconds> FLastRetryAfter;
  TAcmeFailure FLastFailure = TAcmeFailure::Passing;
  int FLastStatus = 0;
  std::string FLastProblemType;
};

// The server's problem document as "detail (type)", or the status and body
// when it sent none.
std::string DescribeProblem(const TAcmeHttpReply& reply);

}  // namespace kelvane
