#include "Tessmar_dmProcess.h"

#include <filesystem>
#include <stdexcept>
#include <system_error>

#include "Authority_uSigner.h"
#include "Tessmar_uCertificateChain.h"
#include "Tessmar_uDateTime.h"
#include "Tessmar_uGlobal.h"
#include "Tessmar_uKeyPair.h"
#include "Tessmar_uLocalRoot.h"
#include "Tessmar_uLog.h"
#include "Tessmar_uProduct.h"
#include "Tessmar_uReadme.h"
#include "Tessmar_uRequestFile.h"
#include "Tessmar_uText.h"
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
// Read by the service: with this section it obtains and renews its
// certificate over ACME itself.
const char* const SectionAcme = "ACME";

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

// The first words of every failure of the exchange with the authority.
std::string AuthorityFailureStart(const std::string& url) {
  return "The certificate authority at " + url + " has not granted a certificate: ";
}

std::string ResponseBody(const std::string& response) {
  const size_t end = response.find("\r\n\r\n");
  return end == std::string::npos ? std::string() : response.substr(end + 4);
}

// "404 Not Found" from the status line the client kept; "" for a 2xx answer.
std::string FailureStatus(const std::string& returnCode) {
  return !returnCode.empty() && returnCode.front() != '2' ? returnCode : std::string();
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
    const TProcessStatus status = RunConsoleCommand(commandLine, errorCode, run.Output, DefaultConsoleTimeOut, folder);
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
  // The client reports why a connection failed only as an advisory; the
  // failure message names that reason.
  FWebHTTP1->OnAdvise = [this](TTelnetClient&, TTelnetState, const std::string& text) {
    if (text.rfind("Error, ", 0) == 0) FConnectionError = text.substr(7);
  };
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
        loaded.AuthorityURL = UnquotedValue(document.ReadString(SectionCertificateRequest, "AuthorityURL", ""));
        loaded.AcmeDirectory = ReadWithDefault(document, SectionAcme, "Directory", SuggestedAcmeDirectory);
        loaded.AcmeEMail = UnquotedValue(document.ReadString(SectionAcme, "EMail", ""));
        // A file from before the choice of sources, or edited by hand, tells
        // by its [ACME] section.
        const std::string source =
            UnquotedValue(document.ReadString(SectionCertificateRequest, "CertificateSource", ""));
        if (!ParseCertificateSource(source, loaded.Source)) {
          loaded.Source = document.SectionExists(SectionAcme) ? TCertificateSource::Acme : TCertificateSource::Authority;
        }
      },
      error);
  fields = ok ? loaded : TSettingsFields{};
  return ok;
}

bool TdmProcess::SaveSettings(const TSettingsFields& fields, std::string& error) {
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
        document.WriteString(SectionCertificateRequest, "CertificateSource", CertificateSourceName(fields.Source));
        if (!fields.AuthorityURL.empty() || fields.Source == TCertificateSource::Authority) {
          document.WriteString(SectionCertificateRequest, "AuthorityURL", fields.AuthorityURL);
        }
        // The section alone turns ACME on in the service, so it goes with
        // any other source; the service's own keys in it stay otherwise.
        if (fields.Source == TCertificateSource::Acme) {
          document.WriteString(SectionAcme, "Directory", fields.AcmeDirectory);
          document.WriteString(SectionAcme, "EMail", fields.AcmeEMail);
        } else {
          document.EraseSection(SectionAcme);
        }
      },
      error);
  if (ok) FAuthorityURL = fields.AuthorityURL;
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
  if (fields.Source == TCertificateSource::Acme) return ConfigureForAcme(fields, loginURL);
  const bool fromAuthority = fields.Source == TCertificateSource::Authority;
  const std::string issuer = fromAuthority ? "the certificate authority at " + FAuthorityURL
                                           : std::string("a root certificate of this server's own (made once, kept in ") +
                                                 InstallationPath("Cert") + ")";
  const std::string confirmation =
      "Please confirm that you want a certificate for Vardex from " + issuer +
      ", using the settings that you have entered. The procedure will take approximately 15 seconds. If the "
      "certificate is issued for \r\n\r\n" +
      fields.CommonName + "\r\n\r\nthen the certificate will be automatically installed for you and the " +
      "installation procedure will finish.";
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
  std::string error;
  if (fromAuthority && !SubmitCertificateRequest(fields, error)) {
    ReportError(error);
    return false;
  }
  if (!fromAuthority && !IssueFromLocalRoot(fields, window)) return false;
  if (!CertificateMatchesKey(pending.Certificate, pending.Key, KeyPassphrase, error)) {
    ReportError(error);
    return false;
  }
  std::string missingRoot;
  if (!CheckIssuerRoot(pending, missingRoot) || !InstallKeyPair(pending, WorkingKeyPairFiles(FFolder), error)) {
    if (!error.empty()) ReportError(error);
    return false;
  }

  std::string note;
  if (!fromAuthority) {
    std::string fingerprint;
    const std::string root = WorkingKeyPairFiles(FFolder).Root;
    if (!CertificateFingerprint(root, fingerprint, error)) fingerprint = "unknown (" + error + ")";
    note = LocalRootTrustNote(root, fingerprint);
  }
  SaveReadmeFile(loginURL, note);
  if (!missingRoot.empty()) FUI.ShowMessage(TMessageKind::Warning, missingRoot);
  FUI.ShowMessage(TMessageKind::Information,
                  "Your secure certificate and private key have been saved in " +
                      IncludeTrailingPathDelimiter(InstallationPath("cert")) +
                      " and your Vardex settings have been saved in the configuration " +
                      "file. Tessmar will now exit and the installation will finish." +
                      (note.empty() ? std::string() : "\r\n\r\n" + note));
  return true;
}

bool TdmProcess::ConfigureForAcme(const TSettingsFields& fields, const std::string& loginURL) {
  const std::string confirmation =
      "Please confirm that Vardex itself should obtain its certificate for\r\n\r\n" + fields.CommonName +
      "\r\n\r\nfrom the ACME directory " + fields.AcmeDirectory +
      " when it starts, and renew it before it expires. The name must lead to this server from the authority's "
      "side, and port " + fields.Port + " must be reachable from there. No key or request is made now.";
  if (!FUI.Confirm(confirmation)) return false;
  // No start time: the service asks for the certificate when it starts.
  WriteFileOrThrow(InstallationPath("Docs/readme.txt"),
                   BuildReadme("", loginURL,
                               "Vardex obtains its certificate itself, and renews it, from the ACME directory\r\n" +
                                   fields.AcmeDirectory + "\r\n"));
  FUI.ShowMessage(TMessageKind::Information,
                  "Your Vardex settings have been saved in the configuration file. Vardex will obtain its "
                  "certificate from " + fields.AcmeDirectory + " when it starts; its error log says how that goes. "
                  "Tessmar will now exit and the installation will finish.");
  return true;
}

bool TdmProcess::CheckIssuerRoot(const TKeyPairFiles& pending, std::string& missingRoot) {
  std::string error;
  if (FileExists(pending.Root)) {
    if (CertificateIssuedBy(pending.Certificate, pending.Root, error)) return true;
    ReportError("The certificate does not chain to the root that came with it, so Vardex would not start on it: " +
                error);
    return false;
  }
  // An authority that sends the certificate alone: a root already in place
  // may be the right one.
  const std::string root = WorkingKeyPairFiles(FFolder).Root;
  if (FileExists(root) && CertificateIssuedBy(pending.Certificate, root, error)) return true;
  missingRoot = "The certificate authority at " + FAuthorityURL + " sent the certificate without its root, and " +
                root + (FileExists(root) ? " holds another root" : " is missing") +
                ". Vardex checks its certificate against that file and does not start without the right one: "
                "save the authority's root certificate (PEM) as " + root + ".";
  return true;
}

void TdmProcess::WriteRequestInputFile(const TSettingsFields& fields) {
  WriteFileOrThrow(InstallationPath(RequestFileName), BuildRequestConfiguration(fields));
}

std::string TdmProcess::OpensslProgram() const {
  return FileExists(FFolder + "openssl") ? InstallationPath("openssl") : std::string("openssl");
}

bool TdmProcess::RunOpenssl(const std::string& arguments, const std::vector<std::string>& madeFiles) {
  // openssl loads its random-seed file ".rnd" from its working folder and
  // prints an error when it is missing (it writes one at its end); an empty
  // file is loaded without complaint, so the first run does not fail.
  std::string ignored;
  CreateEmptyFile(FFolder + ".rnd", ignored);
  const std::string commandLine = "\"" + OpensslProgram() + "\" " + arguments;
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
  // made nothing usable even when it printed no "error"; going on would use
  // older files.
  if (!run.Succeeded) {
    CheckOpensslOutput(run.Output.empty() ? StartFailureText(run.StartError) : "ERROR: " + run.Output, message);
    ReportError(message);
    return false;
  }
  for (const std::string& file : madeFiles) {
    if (!FileExists(file)) {
      CheckOpensslOutput("ERROR: openssl left no " + file, message);
      ReportError(message);
      return false;
    }
  }
  return true;
}

bool TdmProcess::GenerateKeyAndRequest() {
  const TKeyPairFiles pending = PendingKeyPairFiles(FFolder);
  RemoveKeyPairFiles(pending);
  if (!RunOpenssl(OpensslRequestArguments(InstallationPath(RequestFileName), pending.Key, pending.Request),
                  {pending.Key, pending.Request})) {
    return false;
  }
  std::error_code permissionsError;
  std::filesystem::permissions(pending.Key, std::filesystem::perms::owner_read | std::filesystem::perms::owner_write,
                               std::filesystem::perm_options::replace, permissionsError);
  return true;
}

bool TdmProcess::IssueFromLocalRoot(const TSettingsFields& fields, ISettingsWindow& window) {
  std::error_code ignored;
  std::filesystem::remove(InstallationPath(RequestFileName), ignored);
  const TLocalRootFiles root = LocalRootFiles(FFolder);
  // The root is made once: browsers that trust it go on trusting every
  // certificate issued from it later.
  if (!FileExists(root.Key) || !FileExists(root.Certificate)) {
    window.SetStatusText("Making the root certificate of this server...");
    FUI.ProcessMessages();
    RemoveKeyPairFiles({root.Key, "", root.Certificate, ""});
    if (!RunOpenssl(OpensslLocalRootArguments(root, fields.CommonName), {root.Key, root.Certificate})) return false;
    std::filesystem::permissions(root.Key, std::filesystem::perms::owner_read | std::filesystem::perms::owner_write,
                                 std::filesystem::perm_options::replace, ignored);
  }
  window.SetStatusText("Issuing the certificate from the root of this server...");
  FUI.ProcessMessages();
  TSignerOptions options;
  options.Openssl = OpensslProgram();
  options.RootCertificate = root.Certificate;
  options.RootKey = root.Key;
  options.Days = LocalServerCertificateDays;
  options.WorkFolder = InstallationPath("Cert");
  const TKeyPairFiles pending = PendingKeyPairFiles(FFolder);
  std::string request;
  std::string certificate;
  std::string rootText;
  std::string error;
  if (!ReadFileContent(pending.Request, MaxRequestFileSize, request, error) ||
      !TCertificateSigner(options).Sign(request, certificate, error) ||
      !ReadFileContent(root.Certificate, MaxRequestFileSize, rootText, error)) {
    ReportError("The root of this server could not issue the certificate: " + error);
    return false;
  }
  Global().CertificateStartTime = FormatDateTimeNumber(DateTimeFromLocalTime(Now()), DecimalSeparator());
  WriteFileOrThrow(pending.Certificate, certificate);
  WriteFileOrThrow(pending.Root, rootText);
  return true;
}

bool TdmProcess::SubmitCertificateRequest(const TSettingsFields& fields, std::string& error) {
  error.clear();
  std::error_code ignored;
  std::filesystem::remove(InstallationPath(RequestFileName), ignored);

  std::string request;
  const TKeyPairFiles pending = PendingKeyPairFiles(FFolder);
  if (!ReadFileContent(pending.Request, MaxRequestFileSize, request, error)) return false;
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

  const std::string failure = AuthorityFailureStart(FAuthorityURL);
  const std::string via = FProxy.UseProxy ? " (through the proxy " + FProxy.HostName + ":" +
                                                std::to_string(FProxy.Port == 0 ? 80 : FProxy.Port) + ")"
                                          : std::string();
  FConnectionError.clear();
  // The client throws when it cannot even make a connection attempt (no
  // socket); to the person saving, that is one more way the authority failed.
  try {
    http.Execute();
  } catch (const std::exception& e) {
    error = failure + e.what();
    return false;
  }
  if (http.TelnetStatus() == telTimeOut) {
    error = failure + "it did not answer within " + std::to_string(http.WaitMS / 1000) + " seconds" + via + ".";
    return false;
  }
  if (http.TelnetStatus() != telReady) {
    error = failure + "it could not be reached" + via + ": " +
            (FConnectionError.empty() ? TelnetStateName(http.TelnetStatus()) : FConnectionError) +
            ". Check the address and that the authority is running.";
    return false;
  }
  std::string certificate;
  std::string quoted;
  const std::string status = FailureStatus(http.ReturnCode());
  if (!status.empty() || !ExtractCertificate(http.Response(), certificate, quoted)) {
    const std::string body = ResponseBody(http.Response());
    error = failure + (status.empty() ? "it answered without a certificate" : "it answered HTTP " + status) + via +
            (body.empty() ? std::string(".") : ":\r\n\r\n" + body);
    return false;
  }
  // The certificate comes first; what follows it is the authority's root
  // (and any intermediate), which the service checks the certificate against.
  const std::vector<std::string> certificates = PemCertificates(certificate);
  if (certificates.empty()) return WritePrivateFile(pending.Certificate, certificate, error);
  std::string roots;
  for (size_t i = 1; i < certificates.size(); ++i) roots += certificates[i];
  return WritePrivateFile(pending.Certificate, certificates.front(), error) &&
         (roots.empty() || WritePrivateFile(pending.Root, roots, error));
}

void TdmProcess::SaveReadmeFile(const std::string& loginURL, const std::string& note) {
  const std::string startTime = ReadmeStartTime(Global().CertificateStartTime, DecimalSeparator(), Now());
  WriteFileOrThrow(InstallationPath("Docs/readme.txt"), BuildReadme(startTime, loginURL, note));
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
