#include "KMX_dmMain.h"

#include <cctype>
#include <cstdio>

#include "KMX_uHTML.h"
#include "KMX_uLog.h"
#include "KMX_uLoginThrottle.h"
#include "KMX_uTOTP.h"
#include "KMX_uMemoryStock.h"
#include "KMX_uSSL.h"
#include "Vardex_uConfig.h"
#include "ucPaths.h"
#include "ucPower.h"
#include "ucSharedLibrary.h"
#include "ucVersionInfo.h"

namespace kelvane {
namespace {

using namespace std::chrono_literals;

constexpr auto RebootDelay = 2000ms;
constexpr auto DefaultAllocPeriod = 20000ms;
constexpr auto CertErrorThrottle = 1s;

const std::string CertFolder = "Cert\\";
const std::string RootCertificateName = CertFolder + "CAcert.pem";
const std::string CertificateName = CertFolder + "WSScert.pem";
const std::string KeyName = CertFolder + "WSSkey.pem";

// The TLS libraries the listener runs on, named in the start-failure report.
constexpr const char* SSLLibrary = "libssl.so.3";
constexpr const char* CryptoLibrary = "libcrypto.so.3";

std::string LowerCase(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

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

// Clears the busy flag when a submission ends, however it ends, unless the
// flag was handed on to a listener restart that clears it when it finishes.
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

}  // namespace

TdmMain::TdmMain(TEventLoop& loop, std::unique_ptr<IPowerBackend> power, std::string applicationFolderPath)
    : FPower(std::move(power)),
      tmrAllocMem(loop, DefaultAllocPeriod, [this] { Guarded(&TdmMain::tmrAllocMemTimer); }),
      tmrReboot(loop, RebootDelay, [this] { Guarded(&TdmMain::tmrRebootTimer); }),
      ApplicationFolderPath(applicationFolderPath.empty() ? ApplicationFolder()
                                                          : IncludeTrailingPathDelimiter(applicationFolderPath)) {}

TdmMain::~TdmMain() {
  tmrAllocMem.SetEnabled(false);
  tmrReboot.SetEnabled(false);
  // The listener goes first: no request may reach the parts released after it.
  HTTPServer.reset();
}

void TdmMain::AttemptServiceStart(bool& Started, std::string& ErrorText) {
  try {
    RunStartSteps(Started, ErrorText);
  } catch (const std::exception& e) {
    // The exception ends the start and its message goes to the start-up's
    // failure report, which points at the error log: the log gets it too.
    ApplicationException(e);
    throw;
  }
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
  FLog->UpdatePath(Config->FLogFolderPath);
  FThrottle = std::make_unique<TLoginThrottle>([this](std::string_view line) { FLog->WriteError(line); });
  FTOTP = std::make_unique<TTOTPVerifier>();
  ApplyThrottleSettings();

  HTML = std::make_unique<THTML>(ApplicationFolderPath);
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
    return;
  }

  const std::string certificateName = HTML->CommonName();
  if (certificateName.empty() || LowerCase(certificateName) != LowerCase(Config->FCommonName)) {
    ErrorText = Format("Fatal error: Common Name in WSScert.pem (\"%s\") does not match Common Name in vardex.cfg (\"%s\").",
                       certificateName, Config->FCommonName);
    FLog->WriteError(ErrorText);
    return;
  }

  CreateHTTPServer();
  // A listener that cannot start leaves nothing to serve: the start is
  // reported as failed, so that the service manager sees it and can retry.
  Started = StartHTTPServer();
  PreloadLibraries();
  if (!Started) ErrorText = "Cannot start HTTPS server.";
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

void TdmMain::CreateHTTPServer() {
  ServerInterceptOpenSSL.CertificateFile = ResolvePath(ApplicationFolderPath + CertificateName);
  ServerInterceptOpenSSL.KeyFile = ResolvePath(ApplicationFolderPath + KeyName);
  ServerInterceptOpenSSL.RootCertificateFile = ResolvePath(ApplicationFolderPath + RootCertificateName);
  ServerInterceptOpenSSL.GetPassword = [this] {
    std::string password;
    ServerInterceptOpenSSLGetPassword(password);
    return password;
  };
  HTTPServer = std::make_unique<THTTPSServer>(
      [this](const THTTPRequest& request, THTTPResponse& response) { HTTPServerCommandGet(request, response); });
}

bool TdmMain::StartHTTPServer() {
  if (HTTPServer->Active()) HTTPServer->Stop();
  THTTPSServerSettings settings;
  settings.Address = Config->FThisServerIPNumber;
  settings.Port = static_cast<std::uint16_t>(Config->FKMXPort);
  settings.SessionTimeOut = std::chrono::milliseconds(Config->FSessionTimeOut);
  settings.TerminateWaitTime = std::chrono::milliseconds(Config->FTerminateWaitTime);
  settings.ErrorSink = [this](std::string_view message) { FLog->WriteError(message); };
  std::string error;
  const bool started = HTTPServer->Start(settings, ServerInterceptOpenSSL, error);
  if (!started) {
    FLog->WriteError(Format("Cannot start HTTPS server. %s", error));
    FLog->WriteError(std::string("ssl: ") + SSLLibrary + "\t" + GetLibraryDate(SSLLibrary));
    FLog->WriteError(std::string("crypto: ") + CryptoLibrary + "\t" + GetLibraryDate(CryptoLibrary));
    // The libraries are bound by the dynamic loader when the program starts,
    // so no entry point can be missing here and the list is always empty.
    FLog->WriteError("OpenSSL/Indy incompatibility list: ");
  }
  ServerIsBusy.store(false);
  return started;
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

bool TdmMain::PrepareReboot() {
  const bool granted = FPower->EnableShutdownRight();
  tmrReboot.SetEnabled(true);
  return granted;
}

void TdmMain::tmrRebootTimer() {
  tmrReboot.SetEnabled(false);
  const TPowerAction action = IsShutdownRequest.load() ? TPowerAction::Shutdown : TPowerAction::Reboot;
  FPower->NotifySessions(action);
  FPower->Force(action);
}

void TdmMain::HTTPServerCommandGet(const THTTPRequest& Request, THTTPResponse& Response) {
  Response.Body.clear();
  if (Request.Document == "/favicon.ico") return;
  const std::string loginRequest = Config->FLoginRequest.Get();
  if (LowerCase(Request.Document) == "/" + LowerCase(loginRequest)) {
    Response.Body = HTML->GetLoginPage("Result_" + loginRequest);
    return;
  }
  HandleSubmission(Request, Response);
}

void TdmMain::ApplyThrottleSettings() {
  FThrottle->SetSettings({.MaxFailures = Config->FMaxFailures,
                          .FailureWindow = std::chrono::seconds(Config->FFailureWindow),
                          .BlockSeconds = std::chrono::seconds(Config->FBlockSeconds)});
}

bool TdmMain::CheckSecondFactor(const std::string& UserName, const std::string& Code) {
  std::string secret;
  if (!Config->FindTOTPSecret(UserName, secret)) return true;
  // Used codes are remembered under the name as the file spells it, so any
  // spelling of the name finds them.
  return FTOTP->Verify(LowerCase(UserName), secret, Code);
}

bool TdmMain::AdmitLogin(const THTTPRequest& Request, THTTPResponse& Response) {
  const std::string& peer = Request.PeerAddress;
  if (IsCrossSiteRequest(Request)) {
    FLog->WriteError(Format("A submission from another site (origin '%s') at ip %s was refused.",
                            EscapeControlCharacters(Request.Origin.empty() ? Request.SecFetchSite : Request.Origin), peer));
    Response.StatusCode = 403;
    Response.Body = HTML->GetErrorPage("Requests from other sites are refused.");
    return false;
  }
  const std::string userName = Request.Field("UserName");
  const TThrottleVerdict verdict = FThrottle->Admit(peer, userName);
  if (verdict.Blocked) {
    const std::string wait = std::to_string(verdict.RetryAfter.count());
    Response.StatusCode = 429;
    Response.Headers.emplace_back("Retry-After", wait);
    Response.Body = HTML->GetErrorPage("Too many failed logins. Try again in " + wait + " seconds.");
    return false;
  }
  const auto delay = verdict.AnswerNotBefore - std::chrono::system_clock::now();
  if (delay > delay.zero()) Response.HoldUntil = std::chrono::steady_clock::now() + delay;

  if (!Config->CheckUser(userName, Request.Field("Password")) || !CheckSecondFactor(userName, Request.Field("Code"))) {
    FThrottle->RecordFailure(peer, userName);
    // A name typed by whoever is at the other end goes into the error log with
    // its control characters spelled out, so it cannot forge log lines.
    FLog->WriteError(Format("User '%s' at ip %s was not authorized.", EscapeControlCharacters(userName), peer));
    Response.Body = HTML->GetErrorPage("You are not authorized.");
    return false;
  }
  FThrottle->RecordSuccess(peer);
  return true;
}

void TdmMain::HandleSubmission(const THTTPRequest& Request, THTTPResponse& Response) {
  const std::string action = Request.Field("Action");
  if (action.empty()) return;
  if (!AdmitLogin(Request, Response)) return;
  const std::string userName = Request.Field("UserName");
  const std::string& peer = Request.PeerAddress;
  const std::string loggedName = EscapeControlCharacters(userName);
  if (ServerIsBusy.exchange(true)) {
    FLog->WriteError(Format("User '%s' was not accepted. Server is busy.", loggedName));
    Response.Body = HTML->GetErrorPage("Server is busy. Try to login later.");
    return;
  }
  TBusyGuard busy(ServerIsBusy);

  if (action == "Reboot") {
    if (PrepareReboot()) {
      const std::string note = FLog->GetSecurityNote(userName);
      FLog->WriteHistory(userName, peer, "Reboot");
      Response.Body = HTML->GetConfirmPage("Server reboot initiated.", note);
    } else {
      FLog->WriteError(Format("User '%s' at ip %s failed to reboot the server.", loggedName, peer));
      Response.Body = HTML->GetErrorPage("Failed to reboot the server.");
    }
  } else if (action == "Reload Configuration") {
    bool restartScheduled = false;
    ReloadConfiguration(userName, peer, Response, restartScheduled);
    if (restartScheduled) busy.HandOn();
  } else if (action == "Shutdown") {
    if (!Config->FShutdownAllowed) {
      FLog->WriteError("The Shutdown feature has been prevented by \"False\" in vardex.cfg file.");
      Response.Body = HTML->GetErrorPage("Failed to shutdown the server.");
      return;
    }
    IsShutdownRequest.store(true);
    if (PrepareReboot()) {
      const std::string note = FLog->GetSecurityNote(userName);
      FLog->WriteHistory(userName, peer, "Shutdown");
      Response.Body = HTML->GetConfirmPage("Server shutdown initiated.", note);
    } else {
      FLog->WriteError(Format("User '%s' at ip %s failed to reboot the server.", loggedName, peer));
      Response.Body = HTML->GetErrorPage("Failed to shutdown the server.");
    }
  }
}

void TdmMain::ReloadConfiguration(const std::string& UserName, const std::string& PeerAddress,
                                  THTTPResponse& Response, bool& RestartScheduled) {
  const std::string oldAddress = Config->FThisServerIPNumber;
  const std::int32_t oldPort = Config->FKMXPort;
  const std::int32_t oldSessionTimeOut = Config->FSessionTimeOut;
  const std::int32_t oldTerminateWaitTime = Config->FTerminateWaitTime;
  const std::int32_t oldBlockCount = Config->FMemoryBlockCount;
  const std::uint32_t oldBlockSize = Config->FMemoryBlockSize;

  std::string error;
  if (!Config->Reload(error)) {
    FLog->WriteError(Format("User '%s' at ip %s failed to reload configuration file. %s",
                            EscapeControlCharacters(UserName), PeerAddress, error));
    Response.Body = HTML->GetErrorPage("Failed to reload configuration file.");
    return;
  }
  if (!error.empty()) FLog->WriteError(error);
  ApplyThrottleSettings();
  const std::string note = FLog->GetSecurityNote(UserName);
  FLog->WriteHistory(UserName, PeerAddress, "Reload Configuration");
  HTML->SetShutdownAllowed(Config->FShutdownAllowed);
  Response.Body = HTML->GetConfirmPage("Server configuration reloaded.", note);
  FLog->UpdatePath(Config->FLogFolderPath);
  if (Config->FMemoryBlockCount != oldBlockCount || Config->FMemoryBlockSize != oldBlockSize) {
    FMemoryStock->ReallocateMemory(Config->FMemoryBlockCount, Config->FMemoryBlockSize);
  }
  tmrAllocMem.SetEnabled(false);
  tmrAllocMem.SetInterval(std::chrono::milliseconds(Config->FMemoryAllocPeriod));
  tmrAllocMem.SetEnabled(true);
  if (Config->FThisServerIPNumber != oldAddress || Config->FKMXPort != oldPort ||
      Config->FSessionTimeOut != oldSessionTimeOut || Config->FTerminateWaitTime != oldTerminateWaitTime) {
    // The browser gets its page first; the restart then runs on this
    // request's thread and clears the busy flag when it is done.
    Response.AfterSent = [this] { StartHTTPServer(); };
    RestartScheduled = true;
  }
}

}  // namespace kelvane
