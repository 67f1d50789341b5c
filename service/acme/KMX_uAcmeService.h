#pragma once

// ACME as the service runs it: deciding at start whether the certificate
// files need an order, a self-signed stand-in to listen with until the first
// certificate is there, the order at start retried with back-off until a
// deadline, and the renewal check while running, which orders into a folder
// of its own, lets the caller check the new files, moves them into place and
// hands the new certificate to the listener for new connections.
//
// When the ACME server offers renewal information, the renewal check asks it
// for its suggested window (no more often than the server allows) and the
// certificate is renewed at a moment within that window instead of by the
// usual rule; the order then names the certificate it replaces.
//
// The files are the service's "Cert/WSScert.pem", "Cert/WSSkey.pem" and
// "Cert/CAcert.pem"; the account key is "Cert/AcmeAccountKey.pem".

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "KMX_uAcmeCertificateState.h"
#include "KMX_uAcmeHttp01Responder.h"
#include "KMX_uAcmeIssuance.h"
#include "KMX_uAcmeListenerTls.h"
#include "KMX_uAcmeSettings.h"
#include "KMX_uAcmeTlsAlpn.h"
#include "KMX_uRenewal.h"

namespace kelvane {

// How often the running service asks whether its certificate is due.
inline constexpr std::chrono::hours AcmeRenewalCheckPeriod{12};

struct TAcmeServiceFiles {
  std::string Certificate;
  std::string Key;
  std::string Issuers;
};

class TAcmeService {
 public:
  // `applicationFolder` ends in a separator; `host` is the configured common
  // name; `listenAddress` is where http-01 answers (port 80). Every step and
  // failure goes to `log`.
  TAcmeService(std::string applicationFolder, std::string host, std::string listenAddress,
               TAcmeServiceSettings settings, std::string keyPassphrase, TAcmeProgress log);
  // Ends a running renewal at its next wait and waits for it.
  ~TAcmeService();
  TAcmeService(const TAcmeService&) = delete;
  TAcmeService& operator=(const TAcmeService&) = delete;

  // The service's files and the stand-in's.
  TAcmeServiceFiles Files() const;
  TAcmeServiceFiles StandInFiles() const;

  // Whether the service's certificate needs an order: missing, for another
  // host, due by the renewal rule (or within the window the ACME server last
  // suggested for it), or written before RenewObtainedBefore.
  TCertificateState Assess() const;

  // Writes a self-signed certificate for the host to the stand-in files.
  bool WriteStandIn(std::string& error);
  // Removes the stand-in files once the listener has loaded them (or no
  // longer needs them).
  void RemoveStandIn();

  // Settings read again from the configuration file: the next order and the
  // next check use them.
  void UpdateSettings(TAcmeServiceSettings settings);

  // Orders into the service's files, retrying with back-off until the
  // deadline. False with the last reason when no certificate came in time,
  // or at once when the ACME server refused for good.
  bool OrderUntil(std::chrono::steady_clock::time_point deadline, std::string& error);

  // For the listener: installs the ClientHello callback on its context.
  void ConfigureListener(SSL_CTX* serverContext) { FListenerTls.Install(serverContext); }
  // New connections get the certificate now in the service's files.
  bool UseCurrentFiles(std::string& error);

  // Checks on a thread of its own whether the certificate is due and, if so,
  // renews it: orders into "Cert/renewal/", calls `checkNewFiles` with that
  // folder relative to the installation folder ("Cert/renewal/"), moves the
  // files into place, gives the listener the new certificate and calls
  // `installed`. A failure is logged and retried with back-off; the old files
  // stay. A refusal for good is logged and left to the next check. While a
  // renewal waits to try again, a call makes it check and try at once.
  void CheckRenewal(std::function<bool(const std::string& relativeFolder)> checkNewFiles,
                    std::function<void()> installed);
  bool RenewalRunning() const { return FRenewing; }

 private:
  TAcmeServiceSettings Settings() const;
  bool Order(const std::string& outputFolder, std::chrono::seconds timeLimit, std::string& error,
             TAcmeFailure& failure, const std::string& replaces = {});
  // Asks the ACME server for its renewal window for the certificate
  // `certificateId`, unless its last answer about it asked to wait longer.
  void AskRenewalInfo(const std::string& certificateId);
  // Moves the renewal time of `state` into the window the server suggested
  // for its certificate, when there is one.
  void ApplyRenewalAdvice(TCertificateState& state, TimePoint now) const;
  // Waits until the pause ends (true) or the service stops (false).
  bool Wait(std::chrono::milliseconds pause);
  // The same, but a call of CheckRenewal ends the wait early too.
  bool WaitToRetryRenewal(std::chrono::milliseconds pause);
  void Renew(const std::function<bool(const std::string&)>& checkNewFiles, const std::function<void()>& installed);

  const std::string FFolder;
  const std::string FHost;
  const std::string FListenAddress;
  mutable std::mutex FSettingsLock;
  TAcmeServiceSettings FSettings;
  const std::string FKeyPassphrase;
  const TAcmeProgress FLog;
  TAcmeTlsAlpnResponder FTlsAlpn;
  TAcmeListenerTls FListenerTls{FTlsAlpn};

  std::mutex FStopLock;
  std::condition_variable FStopSignal;
  bool FStopping = false;
  bool FRetryNow = false;
  std::atomic<bool> FRenewing{false};

  // What the ACME server last said about renewing one certificate.
  struct TRenewalAdvice {
    std::string CertificateId;
    std::optional<TRenewalWindow> Window;
    // Where in the window the renewal falls, drawn once per certificate so
    // that asking again does not give the certificate a new chance each time.
    double Fraction = 0;
    std::chrono::steady_clock::time_point NextAsk{};
  };
  mutable std::mutex FAdviceLock;
  TRenewalAdvice FAdvice;
  std::thread FRenewal;
};

}  // namespace kelvane
