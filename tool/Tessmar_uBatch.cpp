#include "Tessmar_uBatch.h"

#include <algorithm>
#include <fstream>
#include <iostream>
#include <map>
#include <sstream>

#include "Tessmar_uGlobal.h"
#include "Tessmar_uQRCode.h"
#include "Tessmar_uSecondFactor.h"
#include "Tessmar_uSettingsForm.h"
#include "Tessmar_uText.h"
#include "Tessmar_uUserList.h"
#include "ucAsciiText.h"
#include "ucFileContent.h"
#include "ucIniFile.h"
#include "ucPaths.h"
#include "ucText.h"

namespace kelvane {
namespace {

using enum TSettingsControl;

// An answers file or a users file is a few kilobytes.
constexpr std::size_t MaxAnswersFileSize = 1024 * 1024;

// One setting of the settings window: where the configuration file keeps it
// and the switch that sets it.
struct TBatchSetting {
  TSettingsControl Control;
  const char* Section;
  const char* Key;
  const char* Switch;
};

constexpr TBatchSetting BatchSettings[] = {
    {EditCommonName, "Configuration", "CommonName", "--common-name"},
    {EditIPNumber, "Configuration", "ThisServerIPNumber", "--ip"},
    {EditPort, "Configuration", "VardexPort", "--port"},
    {EditLoginPath, "Configuration", "LoginRequest", "--login-path"},
    {EditCountry, "CertificateRequest", "Country", "--country"},
    {EditProvince, "CertificateRequest", "State", "--state"},
    {EditLocality, "CertificateRequest", "Locality", "--locality"},
    {EditOrganization, "CertificateRequest", "Organization", "--organization"},
    {EditOrgSection, "CertificateRequest", "OrgSection", "--org-section"},
    {EditEMail, "CertificateRequest", "EMail", "--email"},
    {EditProxy, "CertificateRequest", "Proxy", "--proxy"},
    {EditProxyPort, "CertificateRequest", "ProxyPort", "--proxy-port"},
    {EditAuthorityURL, "CertificateRequest", "AuthorityURL", "--authority-url"},
    {EditAcmeDirectory, "ACME", "Directory", "--acme-directory"},
    {EditAcmeEMail, "ACME", "EMail", "--acme-email"},
};

// A value that no file holds: marks a key that is missing.
constexpr const char* Missing = "\x01";

// The batch's own switches that take a value.
constexpr const char* ValueSwitches[] = {"--answers", "--users", "--folder", "--certificate-source", "--totp"};

bool TakesValue(const std::string& name) {
  for (const char* setting : ValueSwitches) {
    if (name == setting) return true;
  }
  for (const TBatchSetting& setting : BatchSettings) {
    if (name == setting.Switch) return true;
  }
  return false;
}

struct TBatchOptions {
  std::map<std::string, std::string> Values;  // switch -> value
  bool AcceptPort443 = false;
};

bool ParseBatchOptions(const std::vector<std::string>& arguments, TBatchOptions& options, std::string& error) {
  for (size_t i = 0; i < arguments.size(); ++i) {
    const std::string& name = arguments[i];
    if (name == "--batch") continue;
    if (name == "--accept-port-443") {
      options.AcceptPort443 = true;
      continue;
    }
    if (ContainsIgnoringAsciiCase(name, "pass")) {
      error = name + ": passwords are never taken from the command line; give them with --users FILE "
                     "(\"-\" for standard input) or in the [UserList] of the answers file";
      return false;
    }
    if (!TakesValue(name)) {
      error = "unknown option " + name;
      return false;
    }
    if (i + 1 >= arguments.size()) {
      error = name + " needs a value";
      return false;
    }
    options.Values[name] = arguments[++i];
  }
  return true;
}

bool ReadTextFile(const std::string& path, std::istream& in, std::string& text, std::string& error) {
  if (path == "-") {
    std::ostringstream all;
    all << in.rdbuf();
    text = all.str();
    return true;
  }
  if (!ReadFileContent(path, MaxAnswersFileSize, text, error)) {
    error = path + ": " + error;
    return false;
  }
  return true;
}

bool SetSource(const std::string& name, TSettingsFields& fields, std::string& error) {
  if (ParseCertificateSource(name, fields.Source)) return true;
  error = "unknown certificate source \"" + name + "\" (authority, acme or local-root)";
  return false;
}

// The settings of an answers file over `fields`; keys it does not hold keep
// their values. False with `error` for an unknown certificate source.
bool ApplyAnswers(const TIniDocument& answers, TSettingsFields& fields, std::string& error) {
  for (const TBatchSetting& setting : BatchSettings) {
    const std::string value = answers.ReadString(setting.Section, setting.Key, Missing);
    if (value != Missing) fields.Text(setting.Control) = UnquotedValue(value);
  }
  if (answers.SectionExists("UserList")) fields.UserLines = answers.ReadSectionLines("UserList");
  // As in the configuration file, an [ACME] section without a stated source
  // chooses ACME.
  const std::string source = answers.ReadString("CertificateRequest", "CertificateSource", Missing);
  if (source != Missing) return SetSource(UnquotedValue(source), fields, error);
  if (answers.SectionExists("ACME")) fields.Source = TCertificateSource::Acme;
  return true;
}

// The lines of a users file, "name=password" each; blank lines are skipped.
std::vector<std::string> UserLines(const std::string& text) {
  std::vector<std::string> lines;
  for (std::string& line : SplitMemoLines(text)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.find_first_not_of(" \t") != std::string::npos) lines.push_back(std::move(line));
  }
  return lines;
}

// The settings window of the batch: the fields, and its status line printed.
class TBatchSettingsWindow : public ISettingsWindow {
 public:
  explicit TBatchSettingsWindow(std::ostream& out) : FOut(out) {}
  TSettingsFields Current;
  bool ClosedWithOK = false;

  TSettingsFields Fields() const override { return Current; }
  void SetFields(const TSettingsFields& fields) override { Current = fields; }
  void SetFieldText(TSettingsControl control, const std::string& text) override { Current.Text(control) = text; }
  void SetStatusText(const std::string& text) override { FOut << text << std::endl; }
  void SetSequenceRunning(bool) override {}
  void CloseWithOK() override { ClosedWithOK = true; }

 private:
  std::ostream& FOut;
};

// True when the options ask for nothing but a second factor in an existing
// installation.
bool OnlySecondFactor(const TBatchOptions& options) {
  if (!options.Values.contains("--totp") || options.AcceptPort443) return false;
  return std::all_of(options.Values.begin(), options.Values.end(),
                     [](const auto& option) { return option.first == "--totp" || option.first == "--folder"; });
}

// Gives the user of the list named `name` (without regard to case) a new
// TOTP secret and prints its address and QR code.
bool GiveSecondFactor(TdmProcess& process, const TSettingsFields& fields, const std::string& name, std::ostream& out,
                      std::string& error) {
  const std::vector<std::string> names = UserNames(fields.UserLines);
  const auto user = std::find_if(names.begin(), names.end(),
                                 [&](const std::string& listed) { return FoldCase(listed) == FoldCase(name); });
  if (user == names.end()) {
    error = "--totp: there is no user " + name + " in the [UserList] of " + process.ConfigFileName();
    return false;
  }
  TTOTPEnrolment enrolment;
  if (!GiveTOTPSecret(process, *user, TOTPIssuer(fields), enrolment, error)) return false;
  out << "The second factor of " << enrolment.User << " is in [" << TOTPSection << "] of "
      << process.ConfigFileName() << ". Scan the QR code with an authenticator app, or enter the address:\n"
      << enrolment.Address << std::endl;
  TQRMatrix matrix;
  std::string ignored;
  if (EncodeQRCode(enrolment.Address, matrix, ignored)) out << QRCodeAsText(matrix) << std::flush;
  return true;
}

// Message boxes write "\r\n"; a terminal wants "\n".
std::string TerminalText(const std::string& text) { return ReplaceAll(text, "\r\n", "\n"); }

}  // namespace

TToolCommand ParseToolCommand(const std::vector<std::string>& arguments, std::string& error) {
  for (const std::string& argument : arguments) {
    if (argument == "--help" || argument == "-h") return TToolCommand::Help;
    if (argument == "--version") return TToolCommand::Version;
  }
  for (const std::string& argument : arguments) {
    if (argument == "--batch") return TToolCommand::Batch;
  }
  // Without --batch, options of the batch are a mistake rather than
  // something for the windows (which take only Qt's own options).
  for (const std::string& argument : arguments) {
    if (argument == "--accept-port-443" || TakesValue(argument)) {
      error = argument + " belongs to batch mode: add --batch";
      return TToolCommand::Error;
    }
  }
  return TToolCommand::Windows;
}

std::string ToolUsage() {
  return "usage: tessmar                       the configuration windows\n"
         "       tessmar --batch [options]     the same without windows\n"
         "       tessmar --help | --version\n"
         "\n"
         "Batch mode loads Vardex.cfg of the installation folder, applies the answers file\n"
         "and the switches, checks the settings as the window does, saves Vardex.cfg, makes\n"
         "a new key and request, has it signed and installs key, certificate and root in\n"
         "Cert/ (the working files stay as they are on any failure); with ACME it only\n"
         "writes the section [ACME] and the service obtains the certificate. It ends with 0\n"
         "when that was done, else 1 with the reason on standard error.\n"
         "\n"
         "  --folder DIR           the installation folder (default: the program's folder)\n"
         "  --answers FILE         settings in the format of Vardex.cfg: [Configuration]\n"
         "                         CommonName, ThisServerIPNumber, VardexPort, LoginRequest;\n"
         "                         [UserList] name=password lines; [CertificateRequest]\n"
         "                         Country, State, Locality, Organization, OrgSection,\n"
         "                         EMail, Proxy, ProxyPort, CertificateSource,\n"
         "                         AuthorityURL; [ACME] Directory, EMail\n"
         "  --users FILE           name=password lines, one user each (\"-\": standard input);\n"
         "                         replaces the user list. Passwords are never switches;\n"
         "                         they are saved as yescrypt hashes (hashed ones are kept).\n"
         "  --common-name NAME     --ip ADDRESS        --port N          --login-path PATH\n"
         "  --country CC           --state TEXT        --locality TEXT   --organization TEXT\n"
         "  --org-section TEXT     --email ADDRESS     --proxy HOST      --proxy-port N\n"
         "  --certificate-source authority | acme | local-root\n"
         "                         where the certificate comes from: the organisation's\n"
         "                         authority (--authority-url URL), an ACME directory that\n"
         "                         the service uses itself (--acme-directory URL, default\n"
         "                         Let's Encrypt; --acme-email ADDRESS), or a root of this\n"
         "                         server's own, made in Cert/ (trust it in the browsers)\n"
         "  --accept-port-443      answer yes to the warning about port 443\n"
         "  --totp USER            give USER of the user list a new second factor (TOTP):\n"
         "                         writes its secret to [TOTP] and prints the otpauth://\n"
         "                         address and its QR code; alone (with --folder) it only\n"
         "                         does that, else after a completed configuration\n"
         "\n"
         "Later sources win: Vardex.cfg, then the answers file, then switches and --users.\n"
         "Example:\n"
         "  printf 'admin=%s\\n' \"$PASSWORD\" | tessmar --batch --answers site.cfg --users -\n";
}

TConsoleUserInterface::TConsoleUserInterface(std::ostream& out, std::ostream& err, bool acceptPort443)
    : FOut(out), FErr(err), FAcceptPort443(acceptPort443) {}

void TConsoleUserInterface::ShowMessage(TMessageKind kind, const std::string& text) {
  if (kind == TMessageKind::Information) {
    FOut << TerminalText(text) << std::endl;
    return;
  }
  FComplained = true;
  FErr << (kind == TMessageKind::Error ? "error: " : "warning: ") << TerminalText(text) << std::endl;
}

bool TConsoleUserInterface::Confirm(const std::string&) { return true; }

bool TConsoleUserInterface::Ask(const std::string& text) {
  // The one question of a save sequence is whether port 443 may be used.
  if (FAcceptPort443 && ContainsIgnoringAsciiCase(text, "port #443")) return true;
  FComplained = true;
  FErr << "error: " << TerminalText(text) << "\n(answered no";
  if (ContainsIgnoringAsciiCase(text, "port #443")) FErr << "; --accept-port-443 answers yes";
  FErr << ")" << std::endl;
  return false;
}

bool TConsoleUserInterface::OpenDocument(const std::string&) { return false; }

bool TConsoleUserInterface::ShowHelp(const std::string&, int) { return false; }

int RunBatch(const std::vector<std::string>& arguments, const std::string& folder, const std::string& programPath,
             std::istream& in, std::ostream& out, std::ostream& err, TToolServices services) {
  TBatchOptions options;
  std::string error;
  const auto fail = [&](const std::string& reason) {
    err << "tessmar: " << reason << std::endl;
    return 1;
  };
  if (!ParseBatchOptions(arguments, options, error)) return fail(error);
  const auto value = [&](const char* name) {
    const auto found = options.Values.find(name);
    return found == options.Values.end() ? std::string() : found->second;
  };
  if (value("--answers") == "-" && value("--users") == "-") return fail("only one of the files can be standard input");

  std::string installation = value("--folder").empty() ? folder : IncludeTrailingPathDelimiter(value("--folder"));
  if (!DirectoryExists(installation)) return fail("the installation folder " + installation + " does not exist");
  installation = IncludeTrailingPathDelimiter(ResolvePath(installation));

  TConsoleUserInterface ui(out, err, options.AcceptPort443);
  TdmProcess process(ui, installation, programPath, std::move(services));
  TBatchSettingsWindow window(out);
  TSettingsFormLogic logic(process, window);

  // The fields as the settings window shows them, from the configuration file.
  logic.LoadSettings();
  if (ui.Complained()) return fail("the configuration file could not be loaded");

  if (!value("--answers").empty()) {
    std::string text;
    if (!ReadTextFile(value("--answers"), in, text, error)) return fail(error);
    TIniDocument answers;
    answers.LoadFromText(text);
    if (!ApplyAnswers(answers, window.Current, error)) return fail(error);
  }
  for (const TBatchSetting& setting : BatchSettings) {
    if (options.Values.contains(setting.Switch)) window.Current.Text(setting.Control) = value(setting.Switch);
  }
  if (!value("--users").empty()) {
    std::string text;
    if (!ReadTextFile(value("--users"), in, text, error)) return fail(error);
    window.Current.UserLines = UserLines(text);
  }
  if (options.Values.contains("--certificate-source") &&
      !SetSource(value("--certificate-source"), window.Current, error)) {
    return fail(error);
  }

  if (OnlySecondFactor(options)) {
    return GiveSecondFactor(process, window.Current, value("--totp"), out, error) ? 0 : fail(error);
  }

  logic.btnConfigureClick();
  if (!window.ClosedWithOK) return fail("the configuration was not completed");
  if (options.Values.contains("--totp") && !GiveSecondFactor(process, window.Current, value("--totp"), out, error)) {
    return fail(error);
  }
  return 0;
}

}  // namespace kelvane
