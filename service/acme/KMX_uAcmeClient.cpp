#include "KMX_uAcmeClient.h"

#include <algorithm>
#include <cctype>
#include <ctime>
#include <iomanip>
#include <sstream>

#include "KMX_uAcmeJws.h"
#include "KMX_uAcmeRenewalInfo.h"

namespace kelvane {

namespace {

using nlohmann::json;

// A server that keeps refusing fresh nonces is broken; this many tries show it.
constexpr int MaxNonceTries = 5;
constexpr std::string_view BadNonce = "urn:ietf:params:acme:error:badNonce";
constexpr std::string_view RateLimited = "urn:ietf:params:acme:error:rateLimited";
constexpr std::string_view AlreadyReplaced = "urn:ietf:params:acme:error:alreadyReplaced";
constexpr int Conflict = 409;
constexpr int TooManyRequests = 429;

bool ParseJson(std::string_view what, const std::string& body, json& answer, std::string& error) {
  answer = json::parse(body, nullptr, false);
  if (answer.is_discarded() || !answer.is_object()) {
    error = std::string(what) + ": the ACME server's answer is no JSON object";
    return false;
  }
  return true;
}

std::string Text(const json& object, const char* name) {
  const auto at = object.find(name);
  return at != object.end() && at->is_string() ? at->get<std::string>() : std::string();
}

std::string ProblemText(const json& problem) {
  if (!problem.is_object()) return {};
  std::string text = Text(problem, "detail");
  const std::string type = Text(problem, "type");
  if (!type.empty()) text += (text.empty() ? "" : " ") + ("(" + type + ")");
  return text;
}

void ReadOrder(const json& answer, TAcmeOrder& order) {
  order.Status = Text(answer, "status");
  order.Finalize = Text(answer, "finalize");
  order.Certificate = Text(answer, "certificate");
  order.Problem = ProblemText(answer.value("error", json()));
  order.Authorizations.clear();
  for (const auto& url : answer.value("authorizations", json::array()))
    if (url.is_string()) order.Authorizations.push_back(url.get<std::string>());
}

bool IsSuccess(int status) { return status >= 200 && status < 300; }

}  // namespace

TAcmeFailure ClassifyAcmeAnswer(int status, std::string_view problemType) {
  const bool refused = status >= 400 && status < 500 && status != TooManyRequests;
  return refused && problemType != BadNonce && problemType != RateLimited ? TAcmeFailure::Permanent
                                                                          : TAcmeFailure::Passing;
}

std::optional<std::chrono::seconds> ParseRetryAfter(std::string_view value, TimePoint now) {
  if (value.empty()) return std::nullopt;
  if (std::all_of(value.begin(), value.end(), [](char c) { return std::isdigit(static_cast<unsigned char>(c)); })) {
    if (value.size() > 9) return std::nullopt;
    return std::chrono::seconds(std::stol(std::string(value)));
  }
  std::tm fields{};
  std::istringstream in{std::string(value)};
  in.imbue(std::locale::classic());
  in >> std::get_time(&fields, "%a, %d %b %Y %H:%M:%S GMT");
  if (in.fail()) return std::nullopt;
  const auto when = std::chrono::system_clock::from_time_t(::timegm(&fields));
  return when <= now ? std::chrono::seconds(0) : std::chrono::ceil<std::chrono::seconds>(when - now);
}

std::string DescribeProblem(const TAcmeHttpReply& reply) {
  const json problem = json::parse(reply.Body, nullptr, false);
  std::string text = ProblemText(problem);
  if (text.empty()) text = reply.Body.substr(0, 200);
  return "status " + std::to_string(reply.Status) + (text.empty() ? "" : ": " + text);
}

TAcmeClient::TAcmeClient(const TAcmeHttps& https, EVP_PKEY* accountKey) : FHttps(https), FAccountKey(accountKey) {}

void TAcmeClient::NoteRefusal(const TAcmeHttpReply& reply) {
  const json problem = json::parse(reply.Body, nullptr, false);
  FLastStatus = reply.Status;
  FLastProblemType = problem.is_object() ? Text(problem, "type") : std::string();
  FLastFailure = ClassifyAcmeAnswer(reply.Status, FLastProblemType);
}

bool TAcmeClient::LoadDirectory(std::string_view url, std::string& error) {
  FLastFailure = TAcmeFailure::Passing;
  TAcmeHttpReply reply;
  if (!FHttps.Request(THttpMethod::Get, url, {}, reply, error)) {
    error = "cannot read the ACME directory: " + error;
    return false;
  }
  json answer;
  if (!IsSuccess(reply.Status)) {
    NoteRefusal(reply);
    error = "the ACME directory " + std::string(url) + " answered " + DescribeProblem(reply);
    return false;
  }
  // An address that answers, but with no ACME directory, is a wrong address:
  // asking again gives the same page.
  FLastFailure = TAcmeFailure::Permanent;
  if (!ParseJson("the ACME directory " + std::string(url), reply.Body, answer, error)) return false;
  FDirectory.NewNonce = Text(answer, "newNonce");
  FDirectory.NewAccount = Text(answer, "newAccount");
  FDirectory.NewOrder = Text(answer, "newOrder");
  FDirectory.RenewalInfo = Text(answer, "renewalInfo");
  if (FDirectory.NewNonce.empty() || FDirectory.NewAccount.empty() || FDirectory.NewOrder.empty()) {
    error = "the ACME directory " + std::string(url) + " lacks newNonce, newAccount or newOrder";
    return false;
  }
  FLastFailure = TAcmeFailure::Passing;
  return true;
}

bool TAcmeClient::FetchNonce(std::string& error) {
  TAcmeHttpReply reply;
  if (!FHttps.Request(THttpMethod::Head, FDirectory.NewNonce, {}, reply, error)) {
    error = "cannot get a nonce: " + error;
    return false;
  }
  if (reply.ReplayNonce.empty()) {
    NoteRefusal(reply);
    error = "the ACME server gave no nonce (" + DescribeProblem(reply) + ")";
    return false;
  }
  FNonce = reply.ReplayNonce;
  return true;
}

bool TAcmeClient::Post(std::string_view what, std::string_view url, std::string_view payload, TAcmeHttpReply& reply,
                       std::string& error) {
  FLastFailure = TAcmeFailure::Passing;
  FLastStatus = 0;
  FLastProblemType.clear();
  for (int attempt = 1;; ++attempt) {
    if (FNonce.empty() && !FetchNonce(error)) {
      error = std::string(what) + ": " + error;
      return false;
    }
    const std::string body = SignJws({FAccountKey, FAccountUrl}, FNonce, url, payload);
    FNonce.clear();
    if (!FHttps.Request(THttpMethod::Post, url, body, reply, error)) {
      error = std::string(what) + ": " + error;
      return false;
    }
    // Every answer carries the nonce for the next request.
    FNonce = reply.ReplayNonce;
    FLastRetryAfter = ParseRetryAfter(reply.RetryAfter, std::chrono::system_clock::now());
    if (IsSuccess(reply.Status)) return true;
    const json problem = json::parse(reply.Body, nullptr, false);
    if (problem.is_object() && Text(problem, "type") == BadNonce && attempt < MaxNonceTries) continue;
    NoteRefusal(reply);
    error = std::string(what) + ": the ACME server answered " + DescribeProblem(reply);
    return false;
  }
}

bool TAcmeClient::PostForJson(std::string_view what, std::string_view url, std::string_view payload, json& answer,
                              TAcmeHttpReply& reply, std::string& error) {
  return Post(what, url, payload, reply, error) && ParseJson(what, reply.Body, answer, error);
}

bool TAcmeClient::RegisterAccount(std::string_view email, std::string& error) {
  json request = {{"termsOfServiceAgreed", true}};
  if (!email.empty()) request["contact"] = json::array({"mailto:" + std::string(email)});
  FAccountUrl.clear();
  TAcmeHttpReply reply;
  json answer;
  if (!PostForJson("creating the ACME account", FDirectory.NewAccount, request.dump(), answer, reply, error))
    return false;
  if (reply.Location.empty()) {
    error = "creating the ACME account: the server named no account URL";
    return false;
  }
  FAccountUrl = reply.Location;
  return true;
}

bool TAcmeClient::NewOrder(std::string_view dnsName, TAcmeOrder& order, std::string& error,
                           std::string_view replaces) {
  if (PostOrder(dnsName, replaces, order, error)) return true;
  const bool conflict = FLastStatus == Conflict || FLastProblemType == AlreadyReplaced;
  return !replaces.empty() && conflict && PostOrder(dnsName, {}, order, error);
}

bool TAcmeClient::PostOrder(std::string_view dnsName, std::string_view replaces, TAcmeOrder& order,
                            std::string& error) {
  json request = {{"identifiers", json::array({{{"type", "dns"}, {"value", dnsName}}})}};
  if (!replaces.empty()) request["replaces"] = replaces;
  TAcmeHttpReply reply;
  json answer;
  if (!PostForJson("ordering a certificate for " + std::string(dnsName), FDirectory.NewOrder, request.dump(), answer,
                   reply, error))
    return false;
  order = {};
  order.Url = reply.Location;
  ReadOrder(answer, order);
  if (order.Url.empty() || order.Finalize.empty() || order.Authorizations.empty()) {
    error = "ordering a certificate for " + std::string(dnsName) + ": the order lacks its URL, finalize or authorizations";
    return false;
  }
  return true;
}

bool TAcmeClient::FetchOrder(TAcmeOrder& order, std::string& error) {
  TAcmeHttpReply reply;
  json answer;
  if (!PostForJson("reading the order", order.Url, {}, answer, reply, error)) return false;
  ReadOrder(answer, order);
  return true;
}

bool TAcmeClient::FetchAuthorization(std::string_view url, TAcmeAuthorization& authorization, std::string& error) {
  TAcmeHttpReply reply;
  json answer;
  if (!PostForJson("reading an authorization", url, {}, answer, reply, error)) return false;
  authorization = {};
  authorization.Status = Text(answer, "status");
  authorization.Identifier = Text(answer.value("identifier", json::object()), "value");
  for (const auto& offer : answer.value("challenges", json::array())) {
    if (!offer.is_object()) continue;
    authorization.Challenges.push_back({Text(offer, "type"), Text(offer, "url"), Text(offer, "token"), Text(offer, "status")});
    const std::string problem = ProblemText(offer.value("error", json()));
    if (!problem.empty()) authorization.Problem = problem;
  }
  return true;
}

bool TAcmeClient::AcceptChallenge(std::string_view url, std::string& error) {
  TAcmeHttpReply reply;
  return Post("accepting the challenge", url, "{}", reply, error);
}

bool TAcmeClient::Finalize(TAcmeOrder& order, std::string_view csrDer, std::string& error) {
  const json request = {{"csr", Base64Url(csrDer)}};
  TAcmeHttpReply reply;
  json answer;
  if (!PostForJson("finalizing the order", order.Finalize, request.dump(), answer, reply, error)) return false;
  ReadOrder(answer, order);
  return true;
}

bool TAcmeClient::DownloadCertificate(std::string_view url, std::string& pemChain, std::string& error) {
  TAcmeHttpReply reply;
  if (!Post("downloading the certificate", url, {}, reply, error)) return false;
  if (reply.Body.find("-----BEGIN CERTIFICATE-----") == std::string::npos) {
    error = "downloading the certificate: the answer holds no PEM certificate";
    return false;
  }
  pemChain = reply.Body;
  return true;
}

bool TAcmeClient::FetchRenewalInfo(std::string_view certificateId, TRenewalWindow& window, std::string& error) {
  FLastFailure = TAcmeFailure::Passing;
  FLastRetryAfter.reset();
  if (FDirectory.RenewalInfo.empty()) {
    error = "the ACME server offers no renewal information";
    return false;
  }
  std::string url = FDirectory.RenewalInfo;
  if (url.back() != '/') url += '/';
  url += certificateId;
  TAcmeHttpReply reply;
  if (!FHttps.Request(THttpMethod::Get, url, {}, reply, error)) {
    error = "cannot read the renewal information: " + error;
    return false;
  }
  FLastRetryAfter = ParseRetryAfter(reply.RetryAfter, std::chrono::system_clock::now());
  if (!IsSuccess(reply.Status)) {
    NoteRefusal(reply);
    error = "the renewal information " + url + " answered " + DescribeProblem(reply);
    return false;
  }
  if (!ParseRenewalInfo(reply.Body, window, error)) {
    error = "the renewal information " + url + ": " + error;
    return false;
  }
  return true;
}

}  // namespace kelvane
