#include "KMX_uAcmeService.h"

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <random>

#include "KMX_uAcmeAccountKey.h"
#include "KMX_uAcmeCertFiles.h"
#include "KMX_uAcmeClient.h"
#include "KMX_uAcmeRenewalInfo.h"
#include "ucFileContent.h"
#include "ucPaths.h"

namespace kelvane {

namespace {

using namespace std::chrono_literals;

constexpr char CertFolder[] = "Cert/";
constexpr char StandInFolder[] = "Cert/standin/";
constexpr char RenewalFolder[] = "Cert/renewal/";
constexpr std::uint16_t Http01Port = 80;
// A CA that cannot be reached is asked again after these waits, doubled each
// time up to the last.
constexpr auto FirstRetry = 5s;
constexpr auto LongestStartRetry = 60s;
constexpr auto FirstRenewalRetry = 5min;
constexpr auto LongestRenewalRetry = 6h;
// What the order itself may take at most.
constexpr auto OrderTimeLimit = 120s;
// The bounds on how soon the server's renewal information is asked for
// again, whatever its Retry-After says. The longest stays a little below the
// check period, so that every periodic check, which may come a little early,
// asks.
constexpr std::chrono::seconds ShortestRenewalInfoWait = 1h;
constexpr std::chrono::seconds LongestRenewalInfoWait = AcmeRenewalCheckPeriod - 5min;

double RandomFraction() {
  thread_local std::mt19937 generator{std::random_device{}()};
  return std::uniform_real_distribution<double>(0.0, 1.0)(generator);
}

TAcmeServiceFiles FilesIn(const std::string& folder) {
  return {folder + AcmeCertificateFileName, folder + AcmeKeyFileName, folder + AcmeIssuersFileName};
}

}  // namespace

TAcmeService::TAcmeService(std::string applicationFolder, std::string host, std::string listenAddress,
                           TAcmeServiceSettings settings, std::string keyPassphrase, TAcmeProgress log)
    : FFolder(std::move(applicationFolder)),
      FHost(std::move(host)),
      FListenAddress(std::move(listenAddress)),
      FSettings(std::move(settings)),
      FKeyPassphrase(std::move(keyPassphrase)),
      FLog(std::move(log)) {}

TAcmeService::~TAcmeService() {
  {
    std::lock_guard guard(FStopLock);
    FStopping = true;
  }
  FStopSignal.notify_all();
  if (FRenewal.joinable()) FRenewal.join();
}

TAcmeServiceFiles TAcmeService::Files() const { return FilesIn(FFolder + CertFolder); }
TAcmeServiceFiles TAcmeService::StandInFiles() const { return FilesIn(FFolder + StandInFolder); }

TAcmeServiceSettings TAcmeService::Settings() const {
  std::lock_guard guard(FSettingsLock);
  return FSettings;
}

void TAcmeService::UpdateSettings(TAcmeServiceSettings settings) {
  std::lock_guard guard(FSettingsLock);
  FSettings = std::move(settings);
}

TCertificateState TAcmeService::Assess() const {
  const TAcmeServiceSettings settings = Settings();
  const std::string file = Files().Certificate;
  const TimePoint now = std::chrono::system_clock::now();
  TCertificateState state = AssessCertificate(file, FHost, settings.RenewDaysBefore, now);
  ApplyRenewalAdvice(state, now);
  // The file's time rather than the certificate's start: ACME servers may
  // date the start back, which would renew the new certificate once more.
  TimePoint written;
  std::string error;
  if (state.Need == TCertificateNeed::Current && settings.RenewObtainedBefore &&
      FileModifiedTime(file, written, error) && written < *settings.RenewObtainedBefore) {
    state.Need = TCertificateNeed::Due;
    state.Reason = file + " was obtained before [ACME] RenewObtainedBefore";
  }
  return state;
}

void TAcmeService::ApplyRenewalAdvice(TCertificateState& state, TimePoint now) const {
  if (state.Need != TCertificateNeed::Current && state.Need != TCertificateNeed::Due) return;
  std::lock_guard guard(FAdviceLock);
  if (!FAdvice.Window || state.CertificateId.empty() || FAdvice.CertificateId != state.CertificateId) return;
  state.RenewAt = RenewalTime(FAdvice.Window, FAdvice.Fraction, state.NotBefore, state.NotAfter);
  if (now >= state.RenewAt) {
    state.Need = TCertificateNeed::Due;
    state.Reason = Files().Certificate + " is due for renewal in the window the ACME server suggests";
  } else {
    state.Need = TCertificateNeed::Current;
  }
}

void TAcmeService::AskRenewalInfo(const std::string& certificateId) {
  const auto asked = std::chrono::steady_clock::now();
  {
    std::lock_guard guard(FAdviceLock);
    if (FAdvice.CertificateId == certificateId && asked < FAdvice.NextAsk) return;
  }
  const TAcmeServiceSettings settings = Settings();
  const TAcmeHttps https(settings.CAFile);
  TAcmeClient client(https, nullptr);
  TRenewalWindow window;
  std::string error;
  const bool directoryRead = client.LoadDirectory(settings.Directory, error);
  // A server that offers no renewal information is no failure: the usual
  // renewal time applies without a word.
  const bool offered = !directoryRead || !client.Directory().RenewalInfo.empty();
  const bool known = directoryRead && offered && client.FetchRenewalInfo(certificateId, window, error);
  const std::chrono::seconds wait = std::clamp(client.LastRetryAfter().value_or(LongestRenewalInfoWait),
                                               ShortestRenewalInfoWait, LongestRenewalInfoWait);
  std::string line;
  {
    std::lock_guard guard(FAdviceLock);
    if (FAdvice.CertificateId != certificateId) FAdvice = {certificateId, std::nullopt, RandomFraction(), {}};
    FAdvice.NextAsk = asked + wait;
    if (!known) {
      FAdvice.Window.reset();
      if (offered) line = "ACME: no renewal information from the ACME server, the usual renewal time applies: " + error;
    } else if (!FAdvice.Window || FAdvice.Window->Start != window.Start || FAdvice.Window->End != window.End) {
      FAdvice.Window = window;
      line = "ACME: the server suggests renewing between " + FormatRfc3339(window.Start) + " and " +
             FormatRfc3339(window.End);
    }
  }
  if (!line.empty()) FLog(line);
}

bool TAcmeService::WriteStandIn(std::string& error) {
  TPKey key;
  TX509 certificate;
  if (!MakeSelfSignedCertificate(FHost, key, certificate, error)) return false;
  std::error_code ec;
  std::filesystem::create_directories(FFolder + StandInFolder, ec);
  const TAcmeServiceFiles files = StandInFiles();
  const std::string pem = CertificateToPem(certificate.get());
  return WritePrivateFile(files.Key, PrivateKeyToPem(key.get(), FKeyPassphrase), error) &&
         WritePrivateFile(files.Certificate, pem, error) && WritePrivateFile(files.Issuers, pem, error);
}

void TAcmeService::RemoveStandIn() {
  std::error_code ec;
  std::filesystem::remove_all(FFolder + StandInFolder, ec);
}

bool TAcmeService::Wait(std::chrono::milliseconds pause) {
  std::unique_lock lock(FStopLock);
  return !FStopSignal.wait_for(lock, pause, [this] { return FStopping; });
}

bool TAcmeService::WaitToRetryRenewal(std::chrono::milliseconds pause) {
  std::unique_lock lock(FStopLock);
  FStopSignal.wait_for(lock, pause, [this] { return FStopping || FRetryNow; });
  FRetryNow = false;
  return !FStopping;
}

bool TAcmeService::Order(const std::string& outputFolder, std::chrono::seconds timeLimit, std::string& error,
                         TAcmeFailure& failure, const std::string& replaces) {
  const TAcmeServiceSettings settings = Settings();
  TAcmeIssueSettings issue;
  issue.Directory = settings.Directory;
  issue.EMail = settings.EMail;
  issue.ExtraRootsFile = settings.CAFile;
  issue.DnsName = FHost;
  issue.AccountKeyFile = FFolder + CertFolder + AcmeAccountKeyName;
  issue.OutputFolder = outputFolder;
  issue.KeyPassphrase = FKeyPassphrase;
  issue.Replaces = replaces;
  issue.OrderTimeLimit = std::min<std::chrono::seconds>(timeLimit, OrderTimeLimit);
  const TAcmeWait wait = [this](std::chrono::milliseconds pause) { return Wait(pause); };
  failure = TAcmeFailure::Passing;
  if (settings.Challenge == TAcmeChallengeType::TlsAlpn01)
    return ObtainCertificate(issue, FTlsAlpn, FLog, wait, error, failure);
  // http-01 answers on port 80 only while the order is open.
  TAcmeHttp01Responder http01;
  if (!http01.Start(FListenAddress, Http01Port, error)) return false;
  return ObtainCertificate(issue, http01, FLog, wait, error, failure);
}

bool TAcmeService::OrderUntil(std::chrono::steady_clock::time_point deadline, std::string& error) {
  std::chrono::milliseconds retry = FirstRetry;
  for (;;) {
    const auto limit = std::chrono::duration_cast<std::chrono::seconds>(deadline - std::chrono::steady_clock::now());
    TAcmeFailure failure;
    if (Order(FFolder + CertFolder, std::max(limit, std::chrono::seconds(1)), error, failure)) return true;
    FLog("ACME: the order failed: " + error);
    if (failure == TAcmeFailure::Permanent) {
      error = "The ACME server refused: " + error;
      return false;
    }
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left <= retry) return false;
    FLog("ACME: trying again in " + std::to_string(retry.count() / 1000) + " s");
    if (!Wait(retry)) return false;
    retry = std::min<std::chrono::milliseconds>(retry * 2, LongestStartRetry);
  }
}

bool TAcmeService::UseCurrentFiles(std::string& error) {
  const TAcmeServiceFiles files = Files();
  return FListenerTls.UseCertificate(files.Certificate, files.Key, files.Issuers, FKeyPassphrase, error);
}

void TAcmeService::CheckRenewal(std::function<bool(const std::string&)> checkNewFiles,
                                std::function<void()> installed) {
  if (FRenewing.exchange(true)) {
    {
      std::lock_guard guard(FStopLock);
      FRetryNow = true;
    }
    FStopSignal.notify_all();
    return;
  }
  if (FRenewal.joinable()) FRenewal.join();
  FRenewal = std::thread([this, checkNewFiles = std::move(checkNewFiles), installed = std::move(installed)] {
    // Nothing may leave the thread: the service goes on with its old files.
    try {
      Renew(checkNewFiles, installed);
    } catch (const std::exception& e) {
      FLog(std::string("ACME: the renewal ended: ") + e.what());
    }
    FRenewing = false;
  });
}

void TAcmeService::Renew(const std::function<bool(const std::string&)>& checkNewFiles,
                         const std::function<void()>& installed) {
  std::chrono::milliseconds retry = FirstRenewalRetry;
  for (;;) {
    // Asked again before every try: the settings may have changed meanwhile.
    TCertificateState state = Assess();
    const bool forThisHost = state.Need == TCertificateNeed::Current || state.Need == TCertificateNeed::Due;
    if (forThisHost && !state.CertificateId.empty()) {
      AskRenewalInfo(state.CertificateId);
      state = Assess();
    }
    if (state.Need == TCertificateNeed::Current) return;
    FLog("ACME: renewing: " + state.Reason);
    {
      // A request to try now is met by this try.
      std::lock_guard guard(FStopLock);
      FRetryNow = false;
    }
    std::string error;
    std::error_code ec;
    std::filesystem::create_directories(FFolder + RenewalFolder, ec);
    TAcmeFailure failure = TAcmeFailure::Passing;
    const std::string replaces = state.Need == TCertificateNeed::Due ? state.CertificateId : std::string();
    if (Order(FFolder + RenewalFolder, OrderTimeLimit, error, failure, replaces)) {
      if (!checkNewFiles(RenewalFolder)) {
        error = "the new certificate files did not pass the checks";
      } else {
        const TAcmeServiceFiles from = FilesIn(FFolder + RenewalFolder), to = Files();
        // Each move replaces one file in one step; the listener takes the
        // new certificate only once all three are in place.
        for (const auto& [source, target] : {std::pair{from.Key, to.Key}, std::pair{from.Certificate, to.Certificate},
                                             std::pair{from.Issuers, to.Issuers}}) {
          if (std::rename(source.c_str(), target.c_str()) != 0) error = "cannot move " + source + " to " + target;
        }
        if (error.empty() && UseCurrentFiles(error)) {
          FLog("ACME: the renewed certificate is in use for new connections");
          if (installed) installed();
          return;
        }
      }
    }
    FLog("ACME: the renewal failed, the current certificate stays: " + error);
    if (failure == TAcmeFailure::Permanent) {
      FLog("ACME: the ACME server refused the renewal; it is asked again at the next check in " +
           std::to_string(AcmeRenewalCheckPeriod.count()) + " hours");
      return;
    }
    FLog("ACME: trying the renewal again in " + std::to_string(retry.count() / 1000) + " s");
    if (!WaitToRetryRenewal(retry)) return;
    retry = std::min<std::chrono::milliseconds>(retry * 2, LongestRenewalRetry);
  }
}

}  // namespace kelvane
