#pragma once

// The service's working object: it loads the configuration, opens the logs
// and the page renderer, fills the memory reserve, checks the certificate
// files, runs the HTTPS listener and answers every request. Reboot and
// shutdown run on the main event loop two seconds after they were confirmed.

#include <atomic>
#include <exception>
#include <memory>
#include <string>

#include "KMX_uErrorHandler.h"
#include "KMX_uHTTPSServer.h"
#include "ucPower.h"
#include "ucEventLoop.h"
#include "ucTime.h"

namespace kelvane {

class TAcmeService;
class TBusyGuard;
class TCertificateChecks;
class TConfig;
class THTML;
class TLog;
class TLoginThrottle;
class TMemoryStock;
class TTOTPVerifier;

class TdmMain final : public TErrorHandler {
 public:
  // Timers run on `loop`; reboot and shutdown go through `power`. The
  // application folder defaults to the folder of the program file.
  TdmMain(TEventLoop& loop, std::unique_ptr<IPowerBackend> power, std::string applicationFolderPath = {});
  ~TdmMain();
  TdmMain(const TdmMain&) = delete;
  TdmMain& operator=(const TdmMain&) = delete;

  // Loads everything and starts the listener; called once on the loop thread
  // right after creation. Started tells whether the listener runs; ErrorText
  // carries the reason for some failures.
  void AttemptServiceStart(bool& Started, std::string& ErrorText);

  // (Re)applies the configuration to the listener and starts it. False when
  // it could not start (logged); a listener that was running then goes on
  // with its settings. Does nothing once the module is being destroyed.
  // Clears the busy flag in every case.
  bool StartHTTPServer();

  // Answers one request; runs on a connection thread.
  void HTTPServerCommandGet(const THTTPRequest& Request, THTTPResponse& Response);

  // Runs on the listener's I/O thread and answers what cannot block: the
  // pages, a refused or throttled submission. False leaves the request to
  // HTTPServerCommandGet on a connection thread.
  bool HTTPServerAnswerAtOnce(const THTTPRequest& Request, THTTPResponse& Response);

  // Enables the right to reboot. True when it was granted.
  bool PrepareReboot();

  void WriteLogCertError(TErrorCode State) override;

  // Logs an exception nobody else handled; the service goes on.
  void ApplicationException(const std::exception& E);

  void ServerInterceptOpenSSLGetPassword(std::string& Password) const;

  // Today's error log file; empty before the start opened the log.
  std::string ErrorLogPath() const;

  // The error-log lines the last AttemptServiceStart wrote, one per line: the
  // reason for a failed start, for the terminal or the journal.
  std::string StartReport() const;

  // "127.0.0.1:443" while the listener runs ("0.0.0.0:443" for every
  // address); empty otherwise.
  std::string ListeningAddress() const;

  // The port the listener took (useful when the configuration asked for 0).
  std::uint16_t ListeningPort() const;

 private:
  // The steps of AttemptServiceStart; an exception leaves them unhandled.
  void RunStartSteps(bool& Started, std::string& ErrorText);
  void CreateHTTPServer();
  // Points the listener at the certificate files in "Cert/".
  void CreateHTTPServerFiles();
  bool ValidateCertContents();
  // With an [ACME] section: orders a certificate before the checks when the
  // files are missing or for another host. False ends the start.
  bool PrepareAcmeCertificate(std::string& ErrorText);
  void tmrAcmeRenewalTimer();
  // After a reload: the renewal takes the new [ACME] settings and checks the
  // certificate at once.
  void ReloadAcmeSettings();
  // Reports a certificate that nothing renews 30, 7 and 1 days before it
  // ends, each once.
  void tmrCertExpiryTimer();
  std::string GetLibraryDate(const std::string& FileName) const;
  void PreloadLibraries();
  void tmrRebootTimer();
  void tmrAllocMemTimer();
  void HandleSubmission(const THTTPRequest& Request, THTTPResponse& Response);
  // The login checks of a submission: cross-site refusal, throttle, password
  // and one-time code. False when the submission was answered already; Name
  // is the form's user name as UTF-8.
  bool AdmitLogin(const THTTPRequest& Request, THTTPResponse& Response, std::string& Name);
  // The checks of a submission that need no password: another site's
  // submission and a blocked address are answered (true); otherwise the
  // per-name delay is set on the response and the login goes on (false).
  bool RefuseSubmission(const THTTPRequest& Request, THTTPResponse& Response);
  bool CheckSecondFactor(const std::string& UserName, const std::string& Code);
  void ApplyThrottleSettings();
  // Checks the form's name and password; Name is the name as UTF-8.
  bool CheckFormUser(const std::string& UserName, const std::string& Password, std::string& Name) const;
  // A confirmed reboot or shutdown arms the reboot timer and hands the busy
  // flag on to it.
  void RequestPowerAction(TPowerAction Action, const std::string& UserName, const std::string& PeerAddress,
                          THTTPResponse& Response, TBusyGuard& Busy);
  // A reload that moves the listener hands the busy flag on to the restart.
  void ReloadConfiguration(const std::string& UserName, const std::string& PeerAddress, THTTPResponse& Response,
                           TBusyGuard& Busy);
  THTTPSServerSettings ConfiguredListener() const;
  bool ListenerNeedsRestart() const;
  // Runs a timer handler, handing any exception to ApplicationException.
  void Guarded(void (TdmMain::*handler)());

  std::unique_ptr<IPowerBackend> FPower;
  TTimer tmrAllocMem;
  TTimer tmrReboot;
  TTimer tmrAcmeRenewal;
  TTimer tmrCertExpiry;
  int FCertExpiryWarned = 0;  // the last of CertExpiryWarningDays reported
  std::string ApplicationFolderPath;
  std::atomic<bool> ServerIsBusy{false};
  std::unique_ptr<THTTPSServer> HTTPServer;
  TTLSServerFiles ServerInterceptOpenSSL;
  std::unique_ptr<TConfig> Config;
  std::unique_ptr<TLog> FLog;
  std::unique_ptr<THTML> HTML;
  // The action the armed reboot timer carries out: set with each confirmed
  // reboot or shutdown, while the busy flag keeps any other action out.
  std::atomic<bool> IsShutdownRequest{false};
  // The settings the listener runs with; touched only under the busy flag.
  THTTPSServerSettings FListenerSettings;
  std::atomic<bool> FStopping{false};
  std::unique_ptr<TMemoryStock> FMemoryStock;
  std::unique_ptr<TCertificateChecks> FCertificateChecks;
  std::unique_ptr<TAcmeService> FAcme;
  // Set while the first certificate is being ordered: requests get 503.
  std::atomic<bool> FAcmePending{false};
  // Kept for the service's life: a reload changes the settings, not the state.
  std::unique_ptr<TLoginThrottle> FThrottle;
  std::unique_ptr<TTOTPVerifier> FTOTP;
  TimePoint LastCertErrorTime{};
  std::string FStartReport;
};

}  // namespace kelvane
