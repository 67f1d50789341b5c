#include "KMX_uAcmeIssuance.h"

#include <algorithm>
#include <thread>

#include "KMX_uAcmeAccountKey.h"
#include "KMX_uAcmeCertFiles.h"
#include "KMX_uAcmeClient.h"
#include "KMX_uAcmeCsr.h"
#include "KMX_uAcmeKeys.h"

namespace kelvane {

namespace {

using Clock = std::chrono::steady_clock;

constexpr int CertificateKeyBits = 2048;

// Withdraws a published answer however the issuance ends.
class TPublishedChallenge {
 public:
  TPublishedChallenge(IAcmeChallengeResponder& responder, std::string dnsName, std::string token)
      : FResponder(responder), FDnsName(std::move(dnsName)), FToken(std::move(token)) {}
  ~TPublishedChallenge() { FResponder.Withdraw(FDnsName, FToken); }
  TPublishedChallenge(const TPublishedChallenge&) = delete;
  TPublishedChallenge& operator=(const TPublishedChallenge&) = delete;

 private:
  IAcmeChallengeResponder& FResponder;
  std::string FDnsName;
  std::string FToken;
};

class TIssuance {
 public:
  TIssuance(const TAcmeIssueSettings& settings, IAcmeChallengeResponder& responder, const TAcmeProgress& progress,
            TAcmeWait wait)
      : FSettings(settings),
        FResponder(responder),
        FProgress(progress),
        FWait(std::move(wait)),
        FHttps(settings.ExtraRootsFile, settings.RequestTimeOut) {}

  bool Run(std::string& error, TAcmeFailure& failure) {
    failure = TAcmeFailure::Passing;
    TPKey accountKey;
    if (!LoadOrCreateAccountKey(FSettings.AccountKeyFile, accountKey, error)) return false;
    TAcmeClient client(FHttps, accountKey.get());
    // Every step stops at the first failure, so the client's last operation
    // is the one that failed (or succeeded, when another step failed).
    const bool obtained = Steps(client, accountKey.get(), error);
    if (!obtained) failure = client.LastFailure();
    return obtained;
  }

 private:
  bool Steps(TAcmeClient& client, EVP_PKEY* accountKey, std::string& error) {
    Report("ACME: reading the directory " + FSettings.Directory);
    if (!client.LoadDirectory(FSettings.Directory, error) || !client.RegisterAccount(FSettings.EMail, error))
      return false;
    Report("ACME: account " + client.AccountUrl() + "; ordering a certificate for " + FSettings.DnsName);
    FDeadline = Clock::now() + FSettings.OrderTimeLimit;
    TAcmeOrder order;
    // Only a server with renewal information knows what "replaces" means.
    const std::string replaces = client.Directory().RenewalInfo.empty() ? std::string() : FSettings.Replaces;
    if (!client.NewOrder(FSettings.DnsName, order, error, replaces)) return false;
    for (const std::string& url : order.Authorizations)
      if (!Authorize(client, accountKey, url, error)) return false;
    if (!PollOrder(client, order, {"ready", "valid", "invalid"}, error)) return false;
    TPKey certificateKey;
    std::string csr;
    if (order.Status == "ready") {
      Report("ACME: authorized; finalizing the order");
      certificateKey = GenerateRsaKey(CertificateKeyBits, error);
      if (!certificateKey || !MakeCertificateRequest(FSettings.DnsName, certificateKey.get(), csr, error) ||
          !client.Finalize(order, csr, error) || !PollOrder(client, order, {"valid", "invalid"}, error))
        return false;
    }
    if (order.Status != "valid" || !certificateKey) {
      error = "the ACME server left the order " + order.Status + (order.Problem.empty() ? "" : ": " + order.Problem);
      return false;
    }
    std::string chain;
    if (!client.DownloadCertificate(order.Certificate, chain, error)) return false;
    if (!WriteCertificateFiles(FSettings.OutputFolder, certificateKey.get(), FSettings.KeyPassphrase, chain,
                               FSettings.ExtraRootsFile, error))
      return false;
    Report("ACME: certificate for " + FSettings.DnsName + " written to " + FSettings.OutputFolder);
    return true;
  }

  void Report(const std::string& text) const {
    if (FProgress) FProgress(text);
  }

  // Waits as the server asked, within the time limit. False when the limit
  // is reached or the wait was cut short.
  bool Pause(const TAcmeClient& client, std::string_view waitingFor, std::string& error) {
    std::chrono::milliseconds pause = FSettings.PollInterval;
    if (const auto asked = client.LastRetryAfter()) pause = std::max<std::chrono::milliseconds>(*asked, pause);
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(FDeadline - Clock::now());
    if (left <= std::chrono::milliseconds(0)) {
      error = "the ACME server did not finish " + std::string(waitingFor) + " within " +
              std::to_string(FSettings.OrderTimeLimit.count()) + " s";
      return false;
    }
    if (!FWait(std::min(pause, left))) {
      error = "the ACME order was stopped while " + std::string(waitingFor);
      return false;
    }
    return true;
  }

  bool Authorize(TAcmeClient& client, EVP_PKEY* accountKey, const std::string& url, std::string& error) {
    TAcmeAuthorization authorization;
    if (!client.FetchAuthorization(url, authorization, error)) return false;
    if (authorization.Status == "valid") return true;
    const char* wanted = AcmeChallengeName(FResponder.Type());
    const auto offer = std::find_if(authorization.Challenges.begin(), authorization.Challenges.end(),
                                    [wanted](const TAcmeChallengeOffer& o) { return o.Type == wanted; });
    if (offer == authorization.Challenges.end()) {
      error = "the ACME server offers no " + std::string(wanted) + " challenge for " + authorization.Identifier;
      return false;
    }
    if (!FResponder.Publish(authorization.Identifier, offer->Token, KeyAuthorization(offer->Token, accountKey), error))
      return false;
    TPublishedChallenge published(FResponder, authorization.Identifier, offer->Token);
    Report("ACME: answering the " + std::string(wanted) + " challenge for " + authorization.Identifier);
    if (!client.AcceptChallenge(offer->Url, error)) return false;
    while (authorization.Status == "pending" || authorization.Status == "processing") {
      if (!Pause(client, "validating " + authorization.Identifier, error) ||
          !client.FetchAuthorization(url, authorization, error))
        return false;
    }
    if (authorization.Status != "valid") {
      error = "the ACME server did not accept the " + std::string(wanted) + " challenge for " +
              authorization.Identifier + ": " + (authorization.Problem.empty() ? authorization.Status : authorization.Problem);
      return false;
    }
    return true;
  }

  bool PollOrder(TAcmeClient& client, TAcmeOrder& order, std::initializer_list<std::string_view> done,
                 std::string& error) {
    if (!client.FetchOrder(order, error)) return false;
    while (std::find(done.begin(), done.end(), order.Status) == done.end()) {
      if (!Pause(client, "the order", error) || !client.FetchOrder(order, error)) return false;
    }
    return true;
  }

  const TAcmeIssueSettings& FSettings;
  IAcmeChallengeResponder& FResponder;
  const TAcmeProgress& FProgress;
  TAcmeWait FWait;
  TAcmeHttps FHttps;
  Clock::time_point FDeadline;
};

}  // namespace

TAcmeWait SleepingWait() {
  return [](std::chrono::milliseconds pause) {
    std::this_thread::sleep_for(pause);
    return true;
  };
}

bool ObtainCertificate(const TAcmeIssueSettings& settings, IAcmeChallengeResponder& responder,
                       const TAcmeProgress& progress, const TAcmeWait& wait, std::string& error,
                       TAcmeFailure& failure) {
  TIssuance issuance(settings, responder, progress, wait ? wait : SleepingWait());
  return issuance.Run(error, failure);
}

bool ObtainCertificate(const TAcmeIssueSettings& settings, IAcmeChallengeResponder& responder,
                       const TAcmeProgress& progress, const TAcmeWait& wait, std::string& error) {
  TAcmeFailure failure;
  return ObtainCertificate(settings, responder, progress, wait, error, failure);
}

}  // namespace kelvane
