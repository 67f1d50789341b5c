#include "KMX_uAcmeService.h"

#include <algorithm>
#include <cstdio>
#include <filesystem>

#include "KMX_uAcmeAccountKey.h"
#include "KMX_uAcmeCertFiles.h"
#include "ucFileContent.h"

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

TCertificateState TAcmeService::Assess() const {
  return AssessCertificate(Files().Certificate, FHost, FSettings.RenewDaysBefore, std::chrono::system_clock::now());
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

bool TAcmeService::Wait(std::chrono::milliseconds pause) {
  std::unique_lock lock(FStopLock);
  return !FStopSignal.wait_for(lock, pause, [this] { return FStopping; });
}

bool TAcmeService::Order(const std::string& outputFolder, std::chrono::seconds timeLimit, std::string& error) {
  TAcmeIssueSettings issue;
  issue.Directory = FSettings.Directory;
  issue.EMail = FSettings.EMail;
  issue.ExtraRootsFile = FSettings.CAFile;
  issue.DnsName = FHost;
  issue.AccountKeyFile = FFolder + CertFolder + AcmeAccountKeyName;
  issue.OutputFolder = outputFolder;
  issue.KeyPassphrase = FKeyPassphrase;
  issue.OrderTimeLimit = std::min<std::chrono::seconds>(timeLimit, OrderTimeLimit);
  const TAcmeWait wait = [this](std::chrono::milliseconds pause) { return Wait(pause); };
  if (FSettings.Challenge == TAcmeChallengeType::TlsAlpn01)
    return ObtainCertificate(issue, FTlsAlpn, FLog, wait, error);
  // http-01 answers on port 80 only while the order is open.
  TAcmeHttp01Responder http01;
  if (!http01.Start(FListenAddress, Http01Port, error)) return false;
  return ObtainCertificate(issue, http01, FLog, wait, error);
}

bool TAcmeService::OrderUntil(std::chrono::steady_clock::time_point deadline, std::string& error) {
  std::chrono::milliseconds retry = FirstRetry;
  for (;;) {
    const auto limit = std::chrono::duration_cast<std::chrono::seconds>(deadline - std::chrono::steady_clock::now());
    if (Order(FFolder + CertFolder, std::max(limit, std::chrono::seconds(1)), error)) return true;
    FLog("ACME: the order failed: " + error);
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
  if (FRenewing.exchange(true)) return;
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
  const TCertificateState state = Assess();
  if (state.Need == TCertificateNeed::Current) return;
  FLog("ACME: renewing: " + state.Reason);
  std::chrono::milliseconds retry = FirstRenewalRetry;
  for (;;) {
    std::string error;
    std::error_code ec;
    std::filesystem::create_directories(FFolder + RenewalFolder, ec);
    if (Order(FFolder + RenewalFolder, OrderTimeLimit, error)) {
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
    FLog("ACME: trying the renewal again in " + std::to_string(retry.count() / 1000) + " s");
    if (!Wait(retry)) return;
    retry = std::min<std::chrono::milliseconds>(retry * 2, LongestRenewalRetry);
  }
}

}  // namespace kelvane
