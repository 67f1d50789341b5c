#include "Tessmar_dmProcess.h"

#include <filesystem>
#include <stdexcept>
#include <system_error>

#include "Tessmar_uDateTime.h"
#include "Tessmar_uGlobal.h"
#include "Tessmar_uKeyPair.h"
#include "Tessmar_uLog.h"
#include "Tessmar_uProduct.h"
#include "Tessmar_uReadme.h"
#include "Tessmar_uRequestFile.h"
#include "Tessmar_uText.h"
#include "ucCommandInFolder.h"
#include "ucFileContent.h"
#include "ucHttpClient.h"
#include "ucIniFileBatch.h"
#include "ucIpConfig.h"
#include "ucPaths.h"
#include "ucPipe.h"
#include "ucVersionInfo.h"

namespace kelvane {
namespace {

const char* const SectionConfiguration = "Configuration";
const char* const SectionUserList = "UserList";
const char* const SectionCertificateRequest = "CertificateRequest";

// A certificate request or certificate is a few kilobytes; anything near this
// size is not one.
constexpr std::size_t MaxRequestFileSize = 1024 * 1024;
// A configuration file is a few kilobytes.
constexpr std::size_t MaxConfigFileSize = 16 * 1024 * 1024;

// The stored value, or `fallback` when the key is missing or empty.
std::string ReadWithDefault(const TIniDocument& document, const char* section, const char* key,
                            const std::string& fallback) {
  const std::string value = UnquotedValue(document.ReadString(section, key, ""));
  return value.empty() ? fallback : value;
}

std::string NotGrantedMessage() {
  return std::string("Quillon has not granted a certificate. Try again in 5 minutes and/or email ") +
         product::CustomerServiceEMail + " for assistance.";
}

std::string StartFailureText(int startError) {
  return "ERROR: openssl could not be started: " + std::generic_category().message(startError);
}

void WriteFileOrThrow(const std::string& path, const std::string& content) {
  std::string error;
  if (!WritePrivateFile(path, content, error)) throw std::runtime_error(error);
}

}  // namespace

TToolServices MachineToolServices() {
  TToolServices services;
  services.RunCommand = [](const std::string& commandLine, const std::string& folder) {
    TConsoleRun run;
    std::int32_t errorCode = 0;
    const TProcessStatus status = RunConsoleCommand(CommandLineInFolder(folder, commandLine), errorCode, run.Output);
    run.StartError = errorCode;
    run.Succeeded = status.Succeeded();
    return run;
  };
  services.LocalIPNumber = [] { return GetLocalIPNumber(); };
  services.Now = SystemClock();
  return services;
}

TdmProcess::TdmProcess(IUserInterface& ui, std::string folder, std::string programPath, TToolServices services)
    : FUI(ui),
      FFolder(IncludeTrailingPathDelimiter(folder)),
      FProgramPath(std::move(programPath)),
      FServices(std::move(services)),
      FAuthorityURL(product::DefaultAuthorityURL),
      FWebHTTP1(std::make_unique<THttpClient>()) {
  DataModuleCreate();
}

TdmProcess::~TdmProcess() = default;

void TdmProcess::DataModuleCreate() {
  FWebHTTP1->Name = "WebHTTP1";
  FWebHTTP1->Protocol = "HTTP/1.1";
  FWebHTTP1->Headers = {"User-Agent: Tessmar v" + GetFileVersionText(false) + "\r\n" +
                        "Cache-Control: no-cache,max-stale=0" + "\r\n"};
  FWebHTTP1->WaitMS = 30000;
  // The window stays responsive while the client waits for the authority.
  FWebHTTP1->OnProcessMessages = [this] { FUI.ProcessMessages(); };
  FConfigFileName = FFolder + "Vardex.cfg";
}

std::string TdmProcess::ConfigFileName() const { return ResolvePath(FConfigFileName); }
std::string TdmProcess::CancelLogFileName() const { return LogFileName(FProgramPath, CancelLogSuffix); }
std::string TdmProcess::ErrorLogFileName() const { return LogFileName(FProgramPath, ErrorLogSuffix); }

std::string TdmProcess::InstallationPath(const std::string& relative) const { return ResolvePath(FFolder + relative); }

LocalTime TdmProcess::Now() const { return ToLocalTime(FServices.Now()); }

char TdmProcess::DecimalSeparator() const {
  return FServices.DecimalSeparator != 0 ? FServices.DecimalSeparator : LocaleDecimalSeparator();
}

void TdmProcess::Main(IToolWindows& windows) {
  while (Global().KeepGoing) {
    if (!windows.ShowWelcome()) {
      if (FUI.Ask("Do you want to cancel the installation of Vardex?")) break;
      continue;
    }
    windows.PrepareSettings();
    if (FileExists(CancelLogFileName())) {
      std::error_code ignored;
      std::filesystem::remove(ResolvePath(CancelLogFileName()), ignored);
    }
    Global().SettingsActivated = false;
    if (windows.ShowSettings()) break;
  }
}

void TdmProcess::ReportError(const std::string& message) {
  AppendLogLine(ErrorLogFileName(), message, Now());
  FUI.ShowMessage(TMessageKind::Error, message);
}

void TdmProcess::LogCancel() { AppendLogLine(CancelLogFileName(), "Configuration cancelled", Now()); }

bool TdmProcess::LoadSettings(TSettingsFields& fields, std::string& error) {
  TSettingsFields loaded;
  const std::string proposedLoginPath = ProposedLoginPath();
  // A first run has no file yet: loading only reads, and the file appears
  // with the first save, whole.
  if (!FileExists(FConfigFileName)) {
    error.clear();
    loaded.LoginPath = proposedLoginPath;
    loaded.EMail = product::SupportEMail;
    fields = loaded;
    return true;
  }
  const bool ok = RunIniFileBatch(
      FConfigFileName,
      [&](TIniDocument& document) {
        loaded.IPNumber = UnquotedValue(document.ReadString(SectionConfiguration, "ThisServerIPNumber", ""));
        loaded.CommonName = UnquotedValue(document.ReadString(SectionConfiguration, "CommonName", ""));
        loaded.Port = ReadWithDefault(document, SectionConfiguration, "VardexPort", "443");
        loaded.LoginPath = ReadWithDefault(document, SectionConfiguration, "LoginRequest", proposedLoginPath);
        std::vector<std::string> users = document.ReadSectionLines(SectionUserList);
        if (!users.empty()) loaded.UserLines = std::move(users);
        loaded.Country = ReadWithDefault(document, SectionCertificateRequest, "Country", "US");
        loaded.Province = UnquotedValue(document.ReadString(SectionCertificateRequest, "State", ""));
        loaded.Locality = UnquotedValue(document.ReadString(SectionCertificateRequest, "Locality", ""));
        loaded.Organization = UnquotedValue(document.ReadString(SectionCertificateRequest, "Organization", ""));
        loaded.OrgSection = UnquotedValue(document.ReadString(SectionCertificateRequest, "OrgSection", ""));
        loaded.EMail = ReadWithDefault(document, SectionCertificateRequest, "EMail", product::SupportEMail);
        loaded.Proxy = UnquotedValue(document.ReadString(SectionCertificateRequest, "Proxy", ""));
        loaded.ProxyPort = UnquotedValue(document.ReadString(SectionCertificateRequest, "ProxyPort", ""));
      },
      error);
  fields = ok ? loaded : TSettingsFields{};
  return ok;
}

bool TdmProcess::SaveSettings(const TSettingsFields& fields, std::string& error) {
  std::string authorityURL;
  const bool ok = EditConfiguration(
      [&](TIniDocument& document) {
        document.WriteString(SectionConfiguration, "ThisServerIPNumber", fields.IPNumber);
        document.WriteString(SectionConfiguration, "CommonName", fields.CommonName);
        document.WriteString(SectionConfiguration, "VardexPort", fields.Port);
        document.WriteString(SectionConfiguration, "LoginRequest", fields.LoginPath);
        document.RebuildSection(SectionUserList, fields.UserLines);
        document.WriteString(SectionCertificateRequest, "Country", fields.Country);
        document.WriteString(SectionCertificateRequest, "State", fields.Province);
        document.WriteString(SectionCertificateRequest, "Locality", fields.Locality);
        document.WriteString(SectionCertificateRequest, "Organization", fields.Organization);
        document.WriteString(SectionCertificateRequest, "OrgSection", fields.OrgSection);
        document.WriteString(SectionCertificateRequest, "EMail", fields.EMail);
        document.WriteString(SectionCertificateRequest, "Proxy", fields.Proxy);
        document.WriteString(SectionCertificateRequest, "ProxyPort", fields.ProxyPort);
        if (!FNewAuthorityURL.empty()) {
          document.WriteString(SectionCertificateRequest, "AuthorityURL", FNewAuthorityURL);
        }
        authorityURL = ReadWithDefault(document, SectionCertificateRequest, "AuthorityURL", product::DefaultAuthorityURL);
      },
      error);
  if (ok) FAuthorityURL = authorityURL;
  return ok;
}

bool TdmProcess::EditConfiguration(const std::function<void(TIniDocument&)>& work, std::string& error) {
  if (FileExists(FConfigFileName)) return RunIniFileBatch(FConfigFileName, work, error);
  // A new file is written whole in one step, so no moment (and no crash)
  // leaves an empty configuration behind.
  TIniDocument document;
  work(document);
  const std::string path = ConfigFileName();
  ForceDirectories(ExtractFilePath(path));
  std::string reason;
  if (!WritePrivateFile(path, document.SaveToText(), reason)) {
    error = path + " could not be written!\r\n" + reason;
    return false;
  }
  error.clear();
  return true;
}

std::string TdmProcess::StoredCommonName() const {
  std::string text;
  std::string error;
  if (!FileExists(FConfigFileName) || !ReadFileContent(ConfigFileName(), MaxConfigFileSize, text, error)) return "";
  TIniDocument document;
  document.LoadFromText(text);
  return UnquotedValue(document.ReadString(SectionConfiguration, "CommonName", ""));
}

bool TdmProcess::KeepCommonNameOfWorkingPair(const std::string& previous) {
  if (previous.empty() || !FileExists(WorkingKeyPairFiles(FFolder).Certificate)) return false;
  if (SameIniName(StoredCommonName(), previous)) return false;
  std::string error;
  if (!EditConfiguration(
          [&](TIniDocument& document) { document.WriteString(SectionConfiguration, "CommonName", previous); },
          error)) {
    ReportError(error);
    return false;
  }
  return true;
}

bool TdmProcess::ConfigureWithCustomCertificate(const TSettingsFields& fields, const std::string& loginURL,
                                                ISettingsWindow& window) {
  const std::string confirmation =
      std::string("Please confirm that you want to request a ") + "certificate for Vardex from " +
      product::WebSiteAddress + ", " + "using the settings that you have entered. " +
      "The procedure will take approximately " + "15 seconds. If the Certificate Authority accepts your request and " +
      "provides a custom SSL certificate for " + "\r\n\r\n" + fields.CommonName + "\r\n\r\n" + "then the " +
      "certificate will be automatically installed " + "for you and the installation procedure will finish.";
  if (!FUI.Confirm(confirmation)) return false;

  window.SetStatusText("Saving request details");
  FUI.ProcessMessages();
  WriteRequestInputFile(fields);

  window.SetStatusText("Generating certificate request... takes up to 35 seconds...");
  FUI.ProcessMessages();
  // The new set is made beside the working key and certificate, which the
  // service goes on using; whatever ends the sequence early takes the new
  // files away again.
  const TKeyPairFiles pending = PendingKeyPairFiles(FFolder);
  struct TPendingFiles {
    const TKeyPairFiles& Files;
    ~TPendingFiles() { RemoveKeyPairFiles(Files); }
  } removeAtEnd{pending};
  if (!GenerateKeyAndRequest()) return false;
  if (!SubmitCertificateRequest(fields)) return false;
  std::string error;
  if (!CertificateMatchesKey(pending.Certificate, pending.Key, KeyPassphrase, error) ||
      !InstallKeyPair(pending, WorkingKeyPairFiles(FFolder), error)) {
    ReportError(error);
    return false;
  }

  SaveReadmeFile(loginURL);
  FUI.ShowMessage(TMessageKind::Information,
                  "Your secure certificate and private key have been saved in " +
                      IncludeTrailingPathDelimiter(InstallationPath("cert")) +
                      " and your Vardex settings have been saved in the configuration " +
                      "file. Tessmar will now exit and the installation will finish.");
  return true;
}

void TdmProcess::WriteRequestInputFile(const TSettingsFields& fields) {
  WriteFileOrThrow(InstallationPath(RequestFileName), BuildRequestConfiguration(fields));
}

bool TdmProcess::GenerateKeyAndRequest() {
  const TKeyPairFiles pending = PendingKeyPairFiles(FFolder);
  const std::string& keyPath = pending.Key;
  const std::string& requestPath = pending.Request;
  RemoveKeyPairFiles(pending);
  // openssl loads its random-seed file ".rnd" from its working folder and
  // prints an error when it is missing (it writes one at its end); an empty
  // file is loaded without complaint, so the first run does not fail.
  std::string ignored;
  CreateEmptyFile(FFolder + ".rnd", ignored);

  const std::string openssl =
      FileExists(FFolder + "openssl") ? "\"" + InstallationPath("openssl") + "\"" : std::string("openssl");
  const std::string commandLine =
      openssl + " " + OpensslRequestArguments(InstallationPath(RequestFileName), keyPath, requestPath);
  TConsoleRun run;
  try {
    run = FServices.RunCommand(commandLine, FFolder);
  } catch (const std::exception& e) {
    run.Output = std::string("ERROR: ") + e.what();
  }
  std::string message;
  if (!CheckOpensslOutput(run.Output, message)) {
    ReportError(message);
    return false;
  }
  // openssl that could not start, was killed or ended with a failure status
  // made no usable key and request even when it printed no "error"; going on
  // would post an older request.
  if (!run.Succeeded) {
    CheckOpensslOutput(run.Output.empty() ? StartFailureText(run.StartError) : "ERROR: " + run.Output, message);
    ReportError(message);
    return false;
  }
  std::error_code permissionsError;
  std::filesystem::permissions(keyPath, std::filesystem::perms::owner_read | std::filesystem::perms::owner_write,
                               std::filesystem::perm_options::replace, permissionsError);
  // An openssl that reported success but left no key or request made nothing
  // that could be posted.
  if (!FileExists(keyPath) || !FileExists(requestPath)) {
    CheckOpensslOutput("ERROR: openssl left no new key and request in " + ExtractFilePath(keyPath), message);
    ReportError(message);
    return false;
  }
  return true;
}

bool TdmProcess::SubmitCertificateRequest(const TSettingsFields& fields) {
  std::error_code ignored;
  std::filesystem::remove(InstallationPath(RequestFileName), ignored);

  std::string request;
  std::string error;
  const TKeyPairFiles pending = PendingKeyPairFiles(FFolder);
  if (!ReadFileContent(pending.Request, MaxRequestFileSize, request, error)) {
    throw std::runtime_error(error);
  }
  request = EncodeRequestText(TextFromFileBytes(request));

  THttpClient& http = *FWebHTTP1;
  FProxy = ApplyProxyFields(FProxy, fields.Proxy, fields.ProxyPort);
  http.ProxyHost().SetHostName(FProxy.HostName);
  http.ProxyHost().SetPort(FProxy.Port);
  http.ProxyHost().SetUseProxy(FProxy.UseProxy);
  http.SetURL(FAuthorityURL);
  http.SetRequest(PostRequestLine(FAuthorityURL));

  // The start time lies half a day back, so the certificate is valid at once
  // whatever time zone the authority works in.
  Global().CertificateStartTime = FormatDateTimeNumber(DateTimeFromLocalTime(Now()) - 0.5, DecimalSeparator());
  Global().TimeZoneBias = std::to_string(GetTimeZoneBias());
  http.StringVars = CertificateFormFields(request, Global().CertificateStartTime, Global().TimeZoneBias, fields.EMail);

  try {
    http.Execute();
  } catch (const std::exception& e) {
    ReportError(NotGrantedMessage() + " Error message:\r\n\r\n" + e.what());
    return false;
  }
  if (http.TelnetStatus() != telReady) {
    ReportError(NotGrantedMessage());
    return false;
  }
  std::string certificate;
  std::string quoted;
  if (!ExtractCertificate(http.Response(), certificate, quoted)) {
    ReportError(std::string("openssl.exe on ") + product::DomainName +
                " was unable to generate your certificate and reports this error:\r\n\r\n" + quoted);
    return false;
  }
  WriteFileOrThrow(pending.Certificate, certificate);
  return true;
}

void TdmProcess::SaveReadmeFile(const std::string& loginURL) {
  const std::string startTime = ReadmeStartTime(Global().CertificateStartTime, DecimalSeparator(), Now());
  WriteFileOrThrow(InstallationPath("Docs/readme.txt"), BuildReadme(startTime, loginURL));
}

int TdmProcess::GetTimeZoneBias() const {
  // UTC = local time + bias, for whichever of standard or daylight time is in
  // force now.
  return static_cast<int>(-Now().UtcOffsetSeconds / 60);
}

void TdmProcess::AboutVardex() {
  FUI.ShowMessage(TMessageKind::Information,
                  GetVersionInfoString("ProductName") + " Vardex and Tessmar, version " + GetFileVersionText(false) +
                      "\r\n\r\nCopyright (c) 2005-" + std::to_string(Now().Year) +
                      " the makers of Kelvane. All rights reserved.\r\n\r\n" + product::HomePageAddress);
}

void TdmProcess::AboutPhoto() {
  FUI.ShowMessage(TMessageKind::Information,
                  "The picture \"Server at daybreak\" was drawn for Kelvane by its developers, in program code, "
                  "and is free to copy with the product.");
}

void TdmProcess::LaunchVardexManual() { ShowHelp(0); }

void TdmProcess::LaunchTutorial() { FUI.OpenDocument(product::TutorialAddress); }

void TdmProcess::LaunchEMailToSupport() { FUI.OpenDocument(std::string("mailto:") + product::SupportEMail); }

void TdmProcess::ShowHelp(int topic) {
  const std::string helpFile = Global().HelpFilePath.empty() ? HelpFilePathIn(FFolder) : Global().HelpFilePath;
  if (!FileExists(helpFile) || !FUI.ShowHelp(ResolvePath(helpFile), topic)) {
    FUI.ShowMessage(TMessageKind::Error, "No context-sensitive help installed");
  }
}

}  // namespace kelvane
