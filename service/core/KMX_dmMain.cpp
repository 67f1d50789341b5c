#include "KMX_dmMain.h"

#include <algorithm>
#include <cctype>
#include <cstdio>

#include "KMX_uAcmeService.h"
#include "KMX_uHTML.h"
#include "KMX_uLog.h"
#include "KMX_uLoginThrottle.h"
#include "KMX_uTOTP.h"
#include "KMX_uMemoryStock.h"
#include "KMX_uSSL.h"
#include "Vardex_uConfig.h"
#include "ucAsciiText.h"
#include "ucKeyPassphrase.h"
#include "ucPaths.h"
#include "ucPower.h"
#include "ucSharedLibrary.h"
#include "ucText.h"
#include "ucVersionInfo.h"

namespace kelvane {
namespace {

using namespace std::chrono_literals;

constexpr auto RebootDelay = 2000ms;
constexpr auto DefaultAllocPeriod = 20000ms;
constexpr auto CertErrorThrottle = 1s;
constexpr auto CertExpiryCheckPeriod = std::chrono::hours(12);
// Days before the end of validity at which a certificate that nothing renews
// is reported, each once.
constexpr int CertExpiryWarningDays[] = {30, 7, 1};
// The first certificate must come well within the service manager's start
// time-out (two minutes), so that the start fails with a line of its own.
constexpr auto AcmeStartTimeLimit = 90s;

const std::string CertFolder = "Cert\\";
const std::string RootCertificateName = CertFolder + "CAcert.pem";
const std::string CertificateName = CertFolder + "WSScert.pem";
const std::string KeyName = CertFolder + "WSSkey.pem";

// The TLS libraries the listener runs on, named in the start-failure report.
constexpr const char* SSLLibrary = "libssl.so.3";
constexpr const char* CryptoLibrary = "libcrypto.so.3";

std::string Format(const char* pattern, const std::string& a) {
  std::string result = pattern;
  result.replace(result.find("%s"), 2, a);
  return result;
}

std::string Format(const char* pattern, const std::string& a, const std::string& b) {
  std::string result = Format(pattern, a);
  result.replace(result.find("%s", result.find(a) + a.size()), 2, b);
  return result;
}

std::string Format(const char* pattern, const std::string& a, const std::string& b, const std::string& c) {
  std::string result = Format(pattern, a, b);
  result.replace(result.rfind("%s"), 2, c);
  return result;
}

// "127.0.0.1:443", or "port 443 of every address" for an empty address.
std::string DescribeListener(const THTTPSServerSettings& settings) {
  const std::string port = std::to_string(settings.Port);
  return settings.Address.empty() ? "port " + port + " of every address" : settings.Address + ":" + port;
}

}  // namespace

// Clears the busy flag when its scope ends, however it ends, unless the flag
// was handed on: to a listener restart or to a pending reboot or shutdown,
// which clear it when they are done.
class TBusyGuard {
 public:
  explicit TBusyGuard(std::atomic<bool>& busy) : FBusy(busy) {}
  ~TBusyGuard() {
    if (!FHandedOn) FBusy.store(false);
  }
  TBusyGuard(const TBusyGuard&) = delete;
  TBusyGuard& operator=(const TBusyGuard&) = delete;
  void HandOn() { FHandedOn = true; }

 private:
  std::atomic<bool>& FBusy;
  bool FHandedOn = false;
};

TdmMain::TdmMain(TEventLoop& loop, std::unique_ptr<IPowerBackend> power, std::string applicationFolderPath)
    : FPower(std::move(power)),
      tmrAllocMem(loop, DefaultAllocPeriod, [this] { Guarded(&TdmMain::tmrAllocMemTimer); }),
      tmrReboot(loop, RebootDelay, [this] { Guarded(&TdmMain::tmrRebootTimer); }),
      tmrAcmeRenewal(loop, AcmeRenewalCheckPeriod, [this] { Guarded(&TdmMain::tmrAcmeRenewalTimer); }),
      tmrCertExpiry(loop, CertExpiryCheckPeriod, [this] { Guarded(&TdmMain::tmrCertExpiryTimer); }),
      ApplicationFolderPath(applicationFolderPath.empty() ? ApplicationFolder()
                                                          : IncludeTrailingPathDelimiter(applicationFolderPath)) {}

TdmMain::~TdmMain() {
  FStopping.store(true);
  tmrAllocMem.SetEnabled(false);
  tmrReboot.SetEnabled(false);
  tmrAcmeRenewal.SetEnabled(false);
  tmrCertExpiry.SetEnabled(false);
  // The listener goes first: no request may reach the parts released after it.
  // It is closed while the pointer still holds it, since a listener restart
  // after a reload may be running on a connection thread and reach for it;
  // closing waits for that restart, which sees the stop and starts nothing.
  if (HTTPServer) HTTPServer->Close();
  HTTPServer.reset();
}

void TdmMain::AttemptServiceStart(bool& Started, std::string& ErrorText) {
  FStartReport.clear();
  // What the start writes to the error log is also kept for the report on
  // the terminal, once the log exists.
  const auto stopObserving = [this] {
    if (FLog) FLog->SetErrorObserver(nullptr);
  };
  try {
    RunStartSteps(Started, ErrorText);
  } catch (const std::exception& e) {
    // The exception ends the start and its message goes to the start-up's
    // failure report, which points at the error log: the log gets it too.
    ApplicationException(e);
    stopObserving();
    throw;
  }
  stopObserving();
}

std::string TdmMain::StartReport() const { return FStartReport; }

std::string TdmMain::ListeningAddress() const {
  if (!HTTPServer || !HTTPServer->Active()) return {};
  const std::string address = FListenerSettings.Address.empty() ? "0.0.0.0" : FListenerSettings.Address;
  return address + ":" + std::to_string(HTTPServer->LocalPort());
}

void TdmMain::RunStartSteps(bool& Started, std::string& ErrorText) {
  Started = false;
  ErrorText.clear();
  // Dates are written with English month names by the formatting functions
  // themselves, whatever the locale, and unhandled exceptions of the timers
  // reach ApplicationException through Guarded().

  Config = std::make_unique<TConfig>(ApplicationFolderPath);
  std::string reloadError;
  const bool reloadOK = Config->Reload(reloadError);

  FLog = std::make_unique<TLog>(ApplicationFolderPath);
  FLog->SetErrorObserver([this](std::string_view line) { FStartReport.append(line).append("\n"); });
  FLog->UpdatePath(Config->FLogFolderPath);
  FThrottle = std::make_unique<TLoginThrottle>([this](std::string_view line) { FLog->WriteError(line); });
  FTOTP = std::make_unique<TTOTPVerifier>();
  ApplyThrottleSettings();

  HTML = std::make_unique<THTML>(ApplicationFolderPath);
  HTML->SetProblemSink([this](const std::string& problem) { FLog->WriteError(problem); });
  HTML->SetVersion(GetFileVersionText(false));
  HTML->SetShutdownAllowed(Config->FShutdownAllowed);

  FMemoryStock = std::make_unique<TMemoryStock>();
  FMemoryStock->ReallocateMemory(Config->FMemoryBlockCount, Config->FMemoryBlockSize);
  tmrAllocMem.SetEnabled(false);
  tmrAllocMem.SetInterval(std::chrono::milliseconds(Config->FMemoryAllocPeriod));
  tmrAllocMem.SetEnabled(true);

  FCertificateChecks = std::make_unique<TCertificateChecks>([this](std::string_view line) { FLog->WriteError(line); });
  if (!FCertificateChecks->CheckOpenSSLFolder(ApplicationFolderPath)) {
    ErrorText = Format("Fatal error: openssl.exe or it's libraries not found in (%s).", ApplicationFolderPath);
    FLog->WriteError(ErrorText);
    return;
  }

  const auto resetCertErrorThrottle = [this] { LastCertErrorTime = std::chrono::system_clock::now() - 24h; };
  resetCertErrorThrottle();
  if (!reloadOK) {
    FLog->WriteError(Format("Server start cancelled. %s", reloadError));
    return;
  }
  if (!reloadError.empty()) FLog->WriteError(reloadError);
  if (!PrepareAcmeCertificate(ErrorText)) return;

  bool ok = true;
  if (!FCertificateChecks->CheckCert(RootCertificateName)) {
    FLog->WriteError("INFO: " + RootCertificateName);
    WriteLogCertError(TErrorCode::ecRootCert);
    ok = false;
  }
  resetCertErrorThrottle();
  if (!FCertificateChecks->CheckCert(CertificateName)) {
    FLog->WriteError("INFO: " + CertificateName);
    WriteLogCertError(TErrorCode::ecCert);
    FLog->WriteError("Reference: " + CertificateName);
    ok = false;
  }
  resetCertErrorThrottle();
  if (!FCertificateChecks->CheckKey(KeyName, KeyPassphrase)) {
    FLog->WriteError("INFO: " + KeyName);
    WriteLogCertError(TErrorCode::ecKey);
    ok = false;
  }
  if (ok && !ValidateCertContents()) {
    WriteLogCertError(TErrorCode::ecCert);
    FLog->WriteError("INFO: validating cert contents");
    FLog->WriteError("Reference: " + CertificateName);
    ok = false;
  }
  if (ok && !FCertificateChecks->CheckSignRootServer(RootCertificateName, CertificateName)) {
    FLog->WriteError("INFO: validating cert signer");
    FLog->WriteError("Fatal Error: The server certificate was not signed by the Root certificate.");
    ok = false;
  }
  resetCertErrorThrottle();
  if (!ok) {
    ErrorText = "Cert not loaded";
    HTTPServer.reset();
    return;
  }

  const std::string certificateName = HTML->CommonName();
  // Short-lived ACME certificates may carry the name only in subjectAltName.
  const bool namedInAltName =
      certificateName.empty() &&
      CertificateFileNamesHost(ResolvePath(ApplicationFolderPath + CertificateName), Config->FCommonName);
  if (namedInAltName) HTML->SetCommonName(Config->FCommonName);
  if (!namedInAltName && (certificateName.empty() || !EqualsIgnoringAsciiCase(certificateName, Config->FCommonName))) {
    ErrorText = Format("Fatal error: Common Name in WSScert.pem (\"%s\") does not match Common Name in vardex.cfg (\"%s\").",
                       certificateName, Config->FCommonName);
    FLog->WriteError(ErrorText);
    HTTPServer.reset();
    return;
  }

  if (HTTPServer && HTTPServer->Active()) {
    // The listener ran on the stand-in while the certificate was ordered.
    std::string error;
    Started = FAcme->UseCurrentFiles(error);
    if (!Started) {
      ErrorText = "Cannot start HTTPS server.";
      FLog->WriteError("ACME: " + error);
      HTTPServer.reset();
    }
    FAcmePending = false;
    return;
  }
  CreateHTTPServer();
  // A listener that cannot start leaves nothing to serve: the start is
  // reported as failed, so that the service manager sees it and can retry.
  Started = StartHTTPServer();
  PreloadLibraries();
  if (!Started) ErrorText = "Cannot start HTTPS server.";
  if (Started && !FAcme) {
    // Nothing renews this certificate: its end is announced in time, since
    // the service cannot start once it has passed.
    tmrCertExpiryTimer();
    tmrCertExpiry.SetEnabled(true);
  }
}

void TdmMain::tmrCertExpiryTimer() {
  const auto left = HTML->NotAfter() - std::chrono::system_clock::now();
  const auto days = std::chrono::ceil<std::chrono::days>(left).count();
  int threshold = 0;
  for (int warning : CertExpiryWarningDays) {
    if (days <= warning) threshold = warning;
  }
  if (threshold == 0 || (FCertExpiryWarned != 0 && threshold >= FCertExpiryWarned)) return;
  FCertExpiryWarned = threshold;
  FLog->WriteError("WARNING: the server certificate " + CertificateName + " expires on " +
                   FormatTimeStamp(ToLocalTime(HTML->NotAfter())) + " (in " + std::to_string(std::max<long long>(days, 0)) +
                   " days); the service cannot start with it after that.");
}

bool TdmMain::PrepareAcmeCertificate(std::string& ErrorText) {
  const TAcmeServiceSettings& settings = Config->FAcme;
  if (!settings.Enabled) return true;
  std::string error;
  FAcme = std::make_unique<TAcmeService>(ApplicationFolderPath, Config->FCommonName, Config->FThisServerIPNumber,
                                         settings, KeyPassphrase, [this](std::string_view line) { FLog->WriteError(line); });
  tmrAcmeRenewal.SetEnabled(true);
  const TCertificateState state = FAcme->Assess();
  if (state.Need == TCertificateNeed::Current) {
    // The first check runs beside the start rather than in twelve hours, so
    // that a renewal window the ACME server suggests is known early.
    tmrAcmeRenewalTimer();
    return true;
  }
  if (state.Need == TCertificateNeed::Due && state.NotAfter > std::chrono::system_clock::now()) {
    // The certificate still serves: the start goes on with it and the
    // renewal runs beside the service.
    tmrAcmeRenewalTimer();
    return true;
  }
  FLog->WriteError("ACME: a certificate is needed: " + state.Reason);
  const auto deadline = std::chrono::steady_clock::now() + AcmeStartTimeLimit;
  if (settings.Challenge == TAcmeChallengeType::TlsAlpn01) {
    // The listener answers the validation, so it listens on a stand-in
    // certificate and answers every request with 503 until the real one
    // passed the checks.
    if (!FAcme->WriteStandIn(error)) {
      ErrorText = "ACME: " + error;
      FLog->WriteError(ErrorText);
      return false;
    }
    FAcmePending = true;
    CreateHTTPServer();
    const TAcmeServiceFiles standIn = FAcme->StandInFiles();
    ServerInterceptOpenSSL.CertificateFile = standIn.Certificate;
    ServerInterceptOpenSSL.KeyFile = standIn.Key;
    ServerInterceptOpenSSL.RootCertificateFile = standIn.Issuers;
    const bool listening = StartHTTPServer();
    // The listener has loaded the stand-in; its files are no longer needed.
    FAcme->RemoveStandIn();
    if (!listening) {
      ErrorText = "Cannot start HTTPS server.";
      return false;
    }
    // Later listener restarts load the real files.
    CreateHTTPServerFiles();
  }
  if (!FAcme->OrderUntil(deadline, error)) {
    ErrorText = Format("Fatal error: no certificate from the ACME server %s. %s", settings.Directory, error);
    FLog->WriteError(ErrorText);
    HTTPServer.reset();
    FAcmePending = false;
    return false;
  }
  return true;
}

void TdmMain::ReloadAcmeSettings() {
  if (!FAcme) {
    if (Config->FAcme.Enabled) FLog->WriteError("ACME: the [ACME] section takes effect at the next start of the service.");
    return;
  }
  if (!Config->FAcme.Enabled) {
    FLog->WriteError("ACME: the certificate is renewed with the earlier [ACME] settings until the next start of the service.");
    return;
  }
  // The certificate is checked at once with the new settings: one they find
  // due (RenewObtainedBefore, RenewDaysBefore) is renewed now, and a renewal
  // waiting to try again tries now.
  FAcme->UpdateSettings(Config->FAcme);
  tmrAcmeRenewalTimer();
}

void TdmMain::tmrAcmeRenewalTimer() {
  if (!FAcme) return;
  FAcme->CheckRenewal(
      [this](const std::string& folder) {
        // The same checks as at start, on a checker of the renewal's own.
        TCertificateChecks checks([this](std::string_view line) { FLog->WriteError(line); });
        TimePoint notBefore, notAfter;
        std::string commonName;
        return checks.CheckOpenSSLFolder(ApplicationFolderPath) && checks.CheckCert(folder + "CAcert.pem") &&
               checks.CheckCert(folder + "WSScert.pem") && checks.CheckKey(folder + "WSSkey.pem", KeyPassphrase) &&
               checks.GetCertValues(folder + "WSScert.pem", notBefore, notAfter, commonName) &&
               checks.CheckSignRootServer(folder + "CAcert.pem", folder + "WSScert.pem");
      },
      [this] {
        // The login page shows the new end of validity.
        TCertificateChecks checks([this](std::string_view line) { FLog->WriteError(line); });
        TimePoint notBefore, notAfter;
        std::string commonName;
        if (checks.CheckOpenSSLFolder(ApplicationFolderPath) &&
            checks.GetCertValues(CertificateName, notBefore, notAfter, commonName))
          HTML->SetNotAfter(notAfter);
      });
}

bool TdmMain::ValidateCertContents() {
  TimePoint notBefore, notAfter;
  std::string commonName;
  if (!FCertificateChecks->GetCertValues(CertificateName, notBefore, notAfter, commonName)) return false;
  HTML->SetCommonName(commonName);
  HTML->SetNotAfter(notAfter);
  return true;
}

void TdmMain::WriteLogCertError(TErrorCode State) {
  const TimePoint now = std::chrono::system_clock::now();
  if (now - LastCertErrorTime <= CertErrorThrottle) return;
  switch (State) {
    case TErrorCode::ecCert:
      FLog->WriteError("Fatal SSL certificate error: cannot load Server Certificate.");
      break;
    case TErrorCode::ecRootCert:
      FLog->WriteError("Fatal SSL certificate error: cannot load Root Certificate.");
      break;
    case TErrorCode::ecKey:
      FLog->WriteError("Fatal SSL certificate error: cannot load RSA Key.");
      break;
  }
  LastCertErrorTime = now;
}

void TdmMain::CreateHTTPServerFiles() {
  ServerInterceptOpenSSL.CertificateFile = ResolvePath(ApplicationFolderPath + CertificateName);
  ServerInterceptOpenSSL.KeyFile = ResolvePath(ApplicationFolderPath + KeyName);
  ServerInterceptOpenSSL.RootCertificateFile = ResolvePath(ApplicationFolderPath + RootCertificateName);
}

void TdmMain::CreateHTTPServer() {
  CreateHTTPServerFiles();
  ServerInterceptOpenSSL.GetPassword = [this] {
    std::string password;
    ServerInterceptOpenSSLGetPassword(password);
    return password;
  };
  HTTPServer = std::make_unique<THTTPSServer>(
      [this](const THTTPRequest& request, THTTPResponse& response) { HTTPServerCommandGet(request, response); });
  HTTPServer->SetQuickHandler(
      [this](const THTTPRequest& request, THTTPResponse& response) { return HTTPServerAnswerAtOnce(request, response); });
  if (FAcme) HTTPServer->SetConfigureContext([acme = FAcme.get()](SSL_CTX* context) { acme->ConfigureListener(context); });
}

THTTPSServerSettings TdmMain::ConfiguredListener() const {
  THTTPSServerSettings settings;
  settings.Address = Config->FThisServerIPNumber;
  settings.Port = static_cast<std::uint16_t>(Config->FKMXPort);
  settings.SessionTimeOut = std::chrono::milliseconds(Config->FSessionTimeOut);
  settings.TerminateWaitTime = std::chrono::milliseconds(Config->FTerminateWaitTime);
  settings.ErrorSink = [this](std::string_view message) { FLog->WriteError(message); };
  return settings;
}

bool TdmMain::ListenerNeedsRestart() const {
  const THTTPSServerSettings wanted = ConfiguredListener();
  return wanted.Address != FListenerSettings.Address || wanted.Port != FListenerSettings.Port ||
         wanted.SessionTimeOut != FListenerSettings.SessionTimeOut ||
         wanted.TerminateWaitTime != FListenerSettings.TerminateWaitTime;
}

bool TdmMain::StartHTTPServer() {
  TBusyGuard busy(ServerIsBusy);
  if (FStopping.load()) return false;
  const bool wasListening = HTTPServer->Active();
  if (wasListening) HTTPServer->Stop();
  const THTTPSServerSettings wanted = ConfiguredListener();
  std::string error;
  if (HTTPServer->Start(wanted, ServerInterceptOpenSSL, error)) {
    FListenerSettings = wanted;
    if (!Config->FThisServerIPNumberReason.empty()) {
      FLog->WriteError(Format("INFO: ThisServerIPNumber is not set; the HTTPS server listens on %s, %s.",
                              DescribeListener(wanted), Config->FThisServerIPNumberReason));
    }
    return true;
  }
  FLog->WriteError(Format("Cannot start HTTPS server. %s", error));
  FLog->WriteError(std::string("ssl: ") + SSLLibrary + "\t" + GetLibraryDate(SSLLibrary));
  FLog->WriteError(std::string("crypto: ") + CryptoLibrary + "\t" + GetLibraryDate(CryptoLibrary));
  // The libraries are bound by the dynamic loader when the program starts,
  // so no entry point can be missing here and the list is always empty.
  FLog->WriteError("OpenSSL/Indy incompatibility list: ");
  if (wasListening) {
    // The listener in force gives way only to one that runs: without it the
    // server could no longer be reached to put things right.
    const std::string place = DescribeListener(wanted);
    if (HTTPServer->Start(FListenerSettings, ServerInterceptOpenSSL, error)) {
      FLog->WriteError(Format("The new listener address %s could not be taken; the HTTPS server goes on listening on %s.",
                              place, DescribeListener(FListenerSettings)));
    } else {
      FLog->WriteError(Format("The HTTPS server could not listen on %s again either. %s",
                              DescribeListener(FListenerSettings), error));
    }
  }
  return false;
}

std::string TdmMain::GetLibraryDate(const std::string& FileName) const {
  const std::string path = FindSharedLibrary(FileName);
  if (path.empty()) return "File not found: " + FileName;
  TimePoint modified;
  std::string error;
  if (!FileModifiedTime(path, modified, error)) return error;
  const LocalTime time = ToLocalTime(modified);
  char buffer[16];
  std::snprintf(buffer, sizeof buffer, "%02d-%s-%04d", time.Day, EnglishMonthAbbreviation(time.Month), time.Year);
  return buffer;
}

void TdmMain::PreloadLibraries() {
  // The dynamic loader has bound every library the service uses before the
  // first line of the program ran; there is nothing to load ahead of need.
}

void TdmMain::ServerInterceptOpenSSLGetPassword(std::string& Password) const { Password = KeyPassphrase; }

std::string TdmMain::ErrorLogPath() const {
  if (!FLog || FLog->LogFolderPath().empty()) return {};
  const std::string date = FormatFileDate(ToLocalTime(std::chrono::system_clock::now()));
  return ResolvePath(FLog->LogFolderPath() + "Errors/Errors_" + date + ".log");
}

std::uint16_t TdmMain::ListeningPort() const { return HTTPServer ? HTTPServer->LocalPort() : 0; }

void TdmMain::ApplicationException(const std::exception& E) {
  if (FLog) FLog->WriteError(E.what());
}

void TdmMain::Guarded(void (TdmMain::*handler)()) {
  try {
    (this->*handler)();
  } catch (const std::exception& e) {
    ApplicationException(e);
  }
}

void TdmMain::tmrAllocMemTimer() { FMemoryStock->AllocateMemory(); }

bool TdmMain::PrepareReboot() { return FPower->EnableShutdownRight(); }

void TdmMain::tmrRebootTimer() {
  // The action confirmed has run (or failed): the next one may come.
  TBusyGuard busy(ServerIsBusy);
  tmrReboot.SetEnabled(false);
  const TPowerAction action = IsShutdownRequest.load() ? TPowerAction::Shutdown : TPowerAction::Reboot;
  FPower->NotifySessions(action);
  FPower->Force(action);
}

void TdmMain::HTTPServerCommandGet(const THTTPRequest& Request, THTTPResponse& Response) {
  try {
    Response.Body.clear();
    if (FAcmePending) {
      Response.StatusCode = 503;
      Response.ContentType = "text/plain; charset=ISO-8859-1";
      Response.Body = "The server is obtaining its certificate. Please try again in a minute.";
      return;
    }
    if (Request.Document == "/favicon.ico") return;
    const std::string loginRequest = Config->FLoginRequest.Get();
    if (EqualsIgnoringAsciiCase(Request.Document, "/" + loginRequest)) {
      Response.Body = HTML->GetLoginPage("Result_" + loginRequest);
      return;
    }
    HandleSubmission(Request, Response);
  } catch (const std::exception& e) {
    // Whoever asked learns only that it failed; the detail (a template's
    // path, say) is for the administrator.
    ApplicationException(e);
    Response = THTTPResponse{};
    Response.StatusCode = 500;
    Response.ContentType = "text/plain; charset=ISO-8859-1";
    Response.Body = "Internal server error.";
  }
}

void TdmMain::ApplyThrottleSettings() {
  FThrottle->SetSettings({.MaxFailures = Config->FMaxFailures,
                          .FailureWindow = std::chrono::seconds(Config->FFailureWindow),
                          .BlockSeconds = std::chrono::seconds(Config->FBlockSeconds)});
}

bool TdmMain::CheckSecondFactor(const std::string& UserName, const std::string& Code) {
  std::string secret;
  if (!Config->FindTOTPSecret(UserName, secret)) return true;
  // Used codes are remembered under the folded name, so any spelling of the
  // name finds them.
  return FTOTP->Verify(FoldCase(UserName), secret, Code);
}

bool TdmMain::HTTPServerAnswerAtOnce(const THTTPRequest& Request, THTTPResponse& Response) {
  // A submission that gets past the cross-site check and the throttle checks
  // a password and may write the history: that is a connection thread's work.
  // An exception (a template that cannot be read) is answered 500 by the
  // listener, its message logged through the listener's error sink.
  if (!FAcmePending && !Request.Field("Action").empty()) return RefuseSubmission(Request, Response);
  HTTPServerCommandGet(Request, Response);
  return true;
}

bool TdmMain::RefuseSubmission(const THTTPRequest& Request, THTTPResponse& Response) {
  const std::string& peer = Request.PeerAddress;
  if (IsCrossSiteRequest(Request)) {
    FLog->WriteError(Format("A submission from another site (origin '%s') at ip %s was refused.",
                            EscapeControlCharacters(Request.Origin.empty() ? Request.SecFetchSite : Request.Origin), peer));
    Response.StatusCode = 403;
    Response.Body = HTML->GetErrorPage("Requests from other sites are refused.");
    return true;
  }
  const TThrottleVerdict verdict = FThrottle->Admit(peer, Request.Field("UserName"));
  if (verdict.Blocked) {
    const std::string wait = std::to_string(verdict.RetryAfter.count());
    Response.StatusCode = 429;
    Response.Headers.emplace_back("Retry-After", wait);
    Response.Body = HTML->GetErrorPage("Too many failed logins. Try again in " + wait + " seconds.");
    return true;
  }
  const auto delay = verdict.AnswerNotBefore - std::chrono::system_clock::now();
  if (delay > delay.zero()) Response.HoldUntil = std::chrono::steady_clock::now() + delay;
  return false;
}

bool TdmMain::AdmitLogin(const THTTPRequest& Request, THTTPResponse& Response, std::string& Name) {
  if (RefuseSubmission(Request, Response)) return false;
  const std::string& peer = Request.PeerAddress;
  const std::string formName = Request.Field("UserName");

  if (!CheckFormUser(formName, Request.Field("Password"), Name) || !CheckSecondFactor(Name, Request.Field("Code"))) {
    FThrottle->RecordFailure(peer, formName);
    // A name typed by whoever is at the other end goes into the error log with
    // its control characters spelled out, so it cannot forge log lines.
    FLog->WriteError(Format("User '%s' at ip %s was not authorized.", EscapeControlCharacters(Name), peer));
    Response.Body = HTML->GetErrorPage("You are not authorized.");
    return false;
  }
  FThrottle->RecordSuccess(peer);
  return true;
}

void TdmMain::HandleSubmission(const THTTPRequest& Request, THTTPResponse& Response) {
  const std::string action = Request.Field("Action");
  if (action.empty()) return;
  std::string userName;
  if (!AdmitLogin(Request, Response, userName)) return;
  const std::string& peer = Request.PeerAddress;
  const std::string loggedName = EscapeControlCharacters(userName);
  if (ServerIsBusy.exchange(true)) {
    FLog->WriteError(Format("User '%s' was not accepted. Server is busy.", loggedName));
    Response.Body = HTML->GetErrorPage("Server is busy. Try to login later.");
    return;
  }
  TBusyGuard busy(ServerIsBusy);

  if (action == "Reboot") {
    RequestPowerAction(TPowerAction::Reboot, userName, peer, Response, busy);
  } else if (action == "Reload Configuration") {
    ReloadConfiguration(userName, peer, Response, busy);
  } else if (action == "Shutdown") {
    if (!Config->FShutdownAllowed) {
      FLog->WriteError("The Shutdown feature has been prevented by \"False\" in vardex.cfg file.");
      Response.Body = HTML->GetErrorPage("Failed to shutdown the server.");
      return;
    }
    RequestPowerAction(TPowerAction::Shutdown, userName, peer, Response, busy);
  }
}

bool TdmMain::CheckFormUser(const std::string& UserName, const std::string& Password, std::string& Name) const {
  // The login page is ISO-8859-1, so a browser sends the form in code page
  // 1252; scripts mostly send UTF-8. The configuration file is UTF-8, and
  // names are compared, logged and looked up in UTF-8: a form that is
  // well-formed UTF-8 beyond ASCII is also tried as it stands.
  Name = Cp1252ToUtf8(UserName);
  if (Config->CheckUser(Name, Cp1252ToUtf8(Password))) return true;
  const bool beyondAscii = std::any_of(UserName.begin(), UserName.end(), [](char c) { return (c & 0x80) != 0; }) ||
                           std::any_of(Password.begin(), Password.end(), [](char c) { return (c & 0x80) != 0; });
  if (beyondAscii && IsUtf8(UserName) && IsUtf8(Password) && Config->CheckUser(UserName, Password)) {
    Name = UserName;
    return true;
  }
  return false;
}

void TdmMain::RequestPowerAction(TPowerAction Action, const std::string& UserName, const std::string& PeerAddress,
                                 THTTPResponse& Response, TBusyGuard& Busy) {
  const bool shutdown = Action == TPowerAction::Shutdown;
  if (!PrepareReboot()) {
    FLog->WriteError(Format("User '%s' at ip %s failed to reboot the server.", EscapeControlCharacters(UserName),
                            PeerAddress));
    Response.Body = HTML->GetErrorPage(shutdown ? "Failed to shutdown the server." : "Failed to reboot the server.");
    return;
  }
  const std::string note = FLog->GetSecurityNote(UserName);
  // The confirmation is made before anything is done: when it cannot be
  // made, the user is told of a failure and nothing happens.
  Response.Body = HTML->GetConfirmPage(shutdown ? "Server shutdown initiated." : "Server reboot initiated.", note);
  FLog->WriteHistory(UserName, PeerAddress, shutdown ? "Shutdown" : "Reboot");
  // What runs is what was confirmed, and until it has run the service is
  // busy: no later request can turn it into another action or add one.
  IsShutdownRequest.store(shutdown);
  Busy.HandOn();
  tmrReboot.SetEnabled(true);
}

void TdmMain::ReloadConfiguration(const std::string& UserName, const std::string& PeerAddress,
                                  THTTPResponse& Response, TBusyGuard& Busy) {
  const auto refuse = [&](const std::string& reason) {
    FLog->WriteError(Format("User '%s' at ip %s failed to reload configuration file. %s",
                            EscapeControlCharacters(UserName), PeerAddress, reason));
    Response.Body = HTML->GetErrorPage("Failed to reload configuration file.");
  };
  TConfigValues next;
  std::string warnings;
  if (!Config->Load(next, warnings)) return refuse(warnings);
  // A reload takes effect whole or not at all: what may fail (the page, the
  // memory reserve) is done before the new values are applied.
  try {
    Response.Body = HTML->GetConfirmPage("Server configuration reloaded.", FLog->GetSecurityNote(UserName));
    if (next.MemoryBlockCount != Config->FMemoryBlockCount || next.MemoryBlockSize != Config->FMemoryBlockSize) {
      FMemoryStock->ReallocateMemory(next.MemoryBlockCount, next.MemoryBlockSize);
    }
  } catch (const std::exception& e) {
    return refuse(e.what());
  }
  Config->Apply(std::move(next));
  ApplyThrottleSettings();
  ReloadAcmeSettings();
  if (!warnings.empty()) FLog->WriteError(warnings);
  FLog->WriteHistory(UserName, PeerAddress, "Reload Configuration");
  HTML->SetShutdownAllowed(Config->FShutdownAllowed);
  FLog->UpdatePath(Config->FLogFolderPath);
  tmrAllocMem.SetEnabled(false);
  tmrAllocMem.SetInterval(std::chrono::milliseconds(Config->FMemoryAllocPeriod));
  tmrAllocMem.SetEnabled(true);
  // Compared with the listener in force rather than with the previous
  // configuration: after a restart that could not take a new port, the next
  // reload tries again.
  if (ListenerNeedsRestart()) {
    // The browser gets its page first; the restart then runs on this
    // request's thread and clears the busy flag when it is done.
    Response.AfterSent = [this] { StartHTTPServer(); };
    Busy.HandOn();
  }
}

}  // namespace kelvane
