#include "Tessmar_dmProcess.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <regex>

#include "Authority_uServer.h"
#include "LoopbackHttpServer.h"
#include "ScriptedUserInterface.h"
#include "ServiceCheck.h"
#include "Tessmar_uDateTime.h"
#include "Tessmar_uGlobal.h"
#include "Tessmar_uKeyPair.h"
#include "Tessmar_uLog.h"
#include "Tessmar_uReadme.h"
#include "Tessmar_uSecondFactor.h"
#include "Tessmar_uSettingsForm.h"
#include "ToolInstallation.h"
#include "Tessmar_uUserList.h"
#include "KMX_uPasswordHash.h"
#include "KMX_uTOTP.h"
#include "ucIniFile.h"
#include "ucHttpClient.h"
#include "ucIniFileBatch.h"
#include "ucPaths.h"
#include "ucPipe.h"
#include "ucVersionInfo.h"
#include "ucText.h"

namespace kelvane {
namespace {

using testing::MakeTestRoot;
using testing::SampleFields;
using testing::TScriptedSettingsWindow;
using testing::TToolInstallation;

const std::string PortQuestion =
    "If you run Vardex on port #443, your normal web server (if any) may not be able to deliver over HTTPS on port "
    "443. We recommend that you select another port.\r\n\r\nWe do not tell you which port to select because that "
    "would make it easier for unwanted visitors to guess where you have Vardex running.\r\n\r\nDo you want Vardex to "
    "use port #443 for now?  (Answer NO to change port#.)";

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  size_t start = 0;
  while (start < text.size()) {
    const size_t end = text.find("\r\n", start);
    if (end == std::string::npos) {
      lines.push_back(text.substr(start) + "<no line end>");
      break;
    }
    lines.push_back(text.substr(start, end - start));
    start = end + 2;
  }
  return lines;
}

// Runs a console command and answers its output; empty when it failed.
std::string RunTool(const std::string& commandLine) {
  std::int32_t errorCode = 0;
  std::string output;
  const TProcessStatus status = RunConsoleCommand(commandLine, errorCode, output);
  return errorCode == 0 && status.Succeeded() ? output : "";
}

// ---------------------------------------------------------------- validation

struct TValidationCase {
  const char* Name;
  std::function<void(TSettingsFields&, testing::TPingScript&)> Prepare;
  std::deque<bool> Answers;
  bool Valid;
  std::vector<std::string> Shown;
  std::vector<std::string> PingCommands;
};

void PrintTo(const TValidationCase& test, std::ostream* out) { *out << test.Name; }

class ValidateSettings : public ::testing::TestWithParam<TValidationCase> {};

TEST_P(ValidateSettings, ChecksInOrderAndShowsEachMessage) {
  const TValidationCase& test = GetParam();
  TToolInstallation tool;
  TScriptedSettingsWindow window;
  window.Current = SampleFields();
  test.Prepare(window.Current, tool.Ping);
  tool.UI.Answers = test.Answers;
  TSettingsFormLogic logic(*tool.Process, window);

  EXPECT_EQ(logic.ValidateSettings(), test.Valid);
  EXPECT_EQ(tool.UI.Shown, test.Shown);
  EXPECT_EQ(tool.Ping.Commands, test.PingCommands);
  EXPECT_FALSE(tool.Exists("Vardex.cfg")) << "validation writes nothing";
}

const std::string MismatchWarning =
    "warning: Unexpected Common Name and IP Number combination.\r\n\r\nreboot.example.com does not ping to "
    "10.0.0.7\r\nConsider using [ 192.0.2.10]\r\nor leave the IP Number blank in the configuration";

INSTANTIATE_TEST_SUITE_P(
    Tessmar, ValidateSettings,
    ::testing::Values(
        TValidationCase{"Port443AnsweredNo", [](auto& f, auto&) { f.Port = "443"; }, {false}, false,
                        {"ask: " + PortQuestion}, {}},
        TValidationCase{"Port443AnsweredYesThenNoUsers",
                        [](auto& f, auto&) {
                          f.Port = "443";
                          f.UserLines.clear();
                        },
                        {true},
                        false,
                        {"ask: " + PortQuestion, "error: Enter at least one Username and Password."},
                        {}},
        TValidationCase{"OtherPortTextsAskNothing", [](auto& f, auto&) { f.Port = " 443"; }, {}, true, {}, {}},
        TValidationCase{"EmptySecondLine", [](auto& f, auto&) { f.UserLines = {"a=b", "", "c"}; }, {}, false,
                        {"error: The syntax for Users and Passwords requires a = on each line."}, {}},
        TValidationCase{"PingAnswerShowsTheAddress",
                        [](auto& f, auto& p) {
                          f.IPNumber = "10.0.0.7";
                          p.Output = "64 bytes from 10.0.0.7: icmp_seq=1 ttl=64 time=0.05 ms\n";
                        },
                        {},
                        true,
                        {},
                        {"ping -c 1 reboot.example.com"}},
        TValidationCase{"PingAnswersFromALongerAddress",
                        [](auto& f, auto& p) {
                          f.IPNumber = "10.0.0.7";
                          p.Output = "64 bytes from 10.0.0.71: icmp_seq=1 ttl=64 time=0.05 ms\n";
                        },
                        {},
                        false,
                        {MismatchWarning},
                        {"ping -c 1 reboot.example.com"}},
        TValidationCase{"PingAnswersFromAnotherAddress",
                        [](auto& f, auto& p) {
                          f.IPNumber = "10.0.0.7";
                          p.Output = "64 bytes from 10.0.0.9: icmp_seq=1\n";
                        },
                        {},
                        false,
                        {MismatchWarning},
                        {"ping -c 1 reboot.example.com"}},
        TValidationCase{"ThisMachinesAddressNeedsNoPing", [](auto& f, auto&) { f.IPNumber = "192.0.2.10"; }, {},
                        true, {}, {}},
        TValidationCase{"EmptyCommonNamePingsNothing",
                        [](auto& f, auto&) {
                          f.CommonName = "";
                          f.IPNumber = "10.0.0.7";
                        },
                        {},
                        false,
                        {"warning: Unexpected Common Name and IP Number combination.\r\n\r\n does not ping to "
                         "10.0.0.7\r\nConsider using [ 192.0.2.10]\r\nor leave the IP Number blank in the "
                         "configuration"},
                        {"ping -c 1 "}},
        TValidationCase{"OneLetterCountry", [](auto& f, auto&) { f.Country = "u"; }, {}, false,
                        {"error: The 2 letter country code is required for the secure certificate."}, {}},
        TValidationCase{"AuthorityWithoutAnHttpAddress", [](auto& f, auto&) { f.AuthorityURL = "ca.example.org"; },
                        {}, false,
                        {"error: Enter the http:// address of your organisation's certificate authority in "
                         "Authority URL, e.g. http://ca.example.org:8080/certreq, or choose another source of the "
                         "certificate."},
                        {}},
        TValidationCase{"LocalRootNeedsNoAuthority",
                        [](auto& f, auto&) {
                          f.Source = TCertificateSource::LocalRoot;
                          f.AuthorityURL = "";
                        },
                        {}, true, {}, {}},
        TValidationCase{"AcmeNeedsAnHttpsDirectory",
                        [](auto& f, auto&) {
                          f.Source = TCertificateSource::Acme;
                          f.AcmeDirectory = "http://acme.example.org/dir";
                        },
                        {}, false,
                        {"error: Enter the https:// address of the ACME directory, e.g. "
                         "https://acme-v02.api.letsencrypt.org/directory."},
                        {}},
        TValidationCase{"AcmeMakesNoRequestSoNoCountry",
                        [](auto& f, auto&) {
                          f.Source = TCertificateSource::Acme;
                          f.Country = "";
                        },
                        {}, true, {}, {}}),
    [](const auto& test) { return std::string(test.param.Name); });

TEST(Tessmar_ValidateSettings, PingOutputMatchesWholeAddressesOnly) {
  struct TCase {
    const char* Output;
    const char* Address;
    bool Shown;
  };
  const TCase cases[] = {
      {"64 bytes from 10.0.0.1: icmp_seq=1", "10.0.0.1", true},
      {"PING reboot.example.com (10.0.0.1) 56(84) bytes of data.", "10.0.0.1", true},
      {"10.0.0.1", "10.0.0.1", true},
      {"64 bytes from 10.0.0.12: icmp_seq=1", "10.0.0.1", false},
      {"64 bytes from 110.0.0.1: icmp_seq=1", "10.0.0.1", false},
      {"PING x (10.0.0.12) and later from 10.0.0.1 too", "10.0.0.1", true},
      {"PING host10.0.0.1.example.com (192.0.2.4)", "10.0.0.1", false},
      {"64 bytes from fe80::1: icmp_seq=1", "fe80::1", true},
      {"64 bytes from fe80::1:2: icmp_seq=1", "fe80::1", false},
      {"anything", "", false},
  };
  for (const TCase& test : cases) {
    EXPECT_EQ(PingShowsAddress(test.Output, test.Address), test.Shown) << test.Address << " in " << test.Output;
  }
}

TEST(Tessmar_ValidateSettings, UpperCasesTheCountryCodeInTheField) {
  TToolInstallation tool;
  TScriptedSettingsWindow window;
  window.Current = SampleFields();
  window.Current.Country = "us";
  TSettingsFormLogic logic(*tool.Process, window);
  EXPECT_TRUE(logic.ValidateSettings());
  EXPECT_EQ(window.Current.Country, "US");

  window.Current.Country = "q";
  EXPECT_FALSE(logic.ValidateSettings());
  EXPECT_EQ(window.Current.Country, "Q");
}

// ------------------------------------------------------- configuration file

TEST(Tessmar_ConfigurationFile, NewFileThenLaterSave) {
  TToolInstallation tool;
  std::string error;
  ASSERT_TRUE(tool.Process->SaveSettings(SampleFields(), error)) << error;
  const std::string expected =
      "[Configuration]\r\nThisServerIPNumber=\r\nCommonName=reboot.example.com\r\nVardexPort=8443\r\n"
      "LoginRequest=Morning_Door\r\n\r\n"
      "[UserList]\r\nalice=Crocus1\r\nbob=Crocus=2\r\n\r\n"
      "[CertificateRequest]\r\nCountry=NZ\r\nState=Canterbury\r\nLocality=Christchurch\r\n"
      "Organization=Example Ltd\r\nOrgSection=Operations\r\nEMail=admin@example.com\r\nProxy=\r\nProxyPort=\r\n"
      "CertificateSource=authority\r\nAuthorityURL=http://ca.example.org:8080/certreq\r\n\r\n";
  EXPECT_EQ(tool.Read("Vardex.cfg"), expected);
  EXPECT_EQ(std::filesystem::status(tool.Folder + "Vardex.cfg").permissions() & std::filesystem::perms::all,
            std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);

  TSettingsFields changed = SampleFields();
  changed.UserLines = {"carol=pw", "ALICE=first", "alice=second"};
  ASSERT_TRUE(tool.Process->SaveSettings(changed, error)) << error;
  const std::string file = tool.Read("Vardex.cfg");
  EXPECT_LT(file.find("[Configuration]"), file.find("[CertificateRequest]"));
  EXPECT_LT(file.find("[CertificateRequest]"), file.find("[UserList]"));
  EXPECT_NE(file.find("[UserList]\r\ncarol=pw\r\nALICE=second\r\n\r\n"), std::string::npos) << file;
}

TEST(Tessmar_ConfigurationFile, KeepsServiceKeysDropsCommentsAndReadsTheAuthority) {
  TToolInstallation tool;
  tool.Dir.WriteFile("Vardex.cfg",
                     "; written by hand\r\n[Configuration]\r\n  SessionTimeOut = 600000 \r\nCommonName=old\r\n"
                     "; another comment\r\n[UserList]\r\nold=user\r\n[CertificateRequest]\r\n"
                     "AuthorityURL=http://ca.example.org/sign\r\n");
  TSettingsFields fields;
  std::string error;
  ASSERT_TRUE(tool.Process->LoadSettings(fields, error)) << error;
  EXPECT_EQ(fields.AuthorityURL, "http://ca.example.org/sign");
  EXPECT_EQ(fields.Source, TCertificateSource::Authority);
  EXPECT_EQ(fields.AcmeDirectory, "https://acme-v02.api.letsencrypt.org/directory") << "the proposal";
  const std::string authority = fields.AuthorityURL;
  fields = SampleFields();
  fields.AuthorityURL = authority;
  ASSERT_TRUE(tool.Process->SaveSettings(fields, error)) << error;
  const std::string file = tool.Read("Vardex.cfg");
  EXPECT_EQ(file.find(';'), std::string::npos);
  EXPECT_NE(file.find("[Configuration]\r\nSessionTimeOut=600000\r\nCommonName=reboot.example.com\r\n"),
            std::string::npos)
      << file;
  EXPECT_EQ(file.find("old=user"), std::string::npos);
  EXPECT_NE(file.find("AuthorityURL=http://ca.example.org/sign\r\n"), std::string::npos);
  EXPECT_EQ(tool.Process->AuthorityURL(), "http://ca.example.org/sign");
}

// The section [ACME] switches the service to ACME, so it is there exactly
// when ACME is the source; the service's own keys in it survive a save, and
// a file with the section but no stated source (written by hand) loads as ACME.
TEST(Tessmar_ConfigurationFile, TheAcmeSectionFollowsTheSource) {
  TToolInstallation tool;
  tool.Dir.WriteFile("Vardex.cfg", "[ACME]\r\nDirectory=https://acme.example.org/dir\r\nChallenge=http-01\r\n");
  TSettingsFields fields;
  std::string error;
  ASSERT_TRUE(tool.Process->LoadSettings(fields, error)) << error;
  EXPECT_EQ(fields.Source, TCertificateSource::Acme);
  EXPECT_EQ(fields.AcmeDirectory, "https://acme.example.org/dir");
  fields.AcmeEMail = "ops@example.org";
  ASSERT_TRUE(tool.Process->SaveSettings(fields, error)) << error;
  TIniDocument saved;
  saved.LoadFromText(tool.Read("Vardex.cfg"));
  EXPECT_EQ(saved.ReadString("ACME", "Directory", ""), "https://acme.example.org/dir");
  EXPECT_EQ(saved.ReadString("ACME", "EMail", ""), "ops@example.org");
  EXPECT_EQ(saved.ReadString("ACME", "Challenge", ""), "http-01");
  EXPECT_EQ(saved.ReadString("CertificateRequest", "CertificateSource", ""), "acme");

  for (TCertificateSource other : {TCertificateSource::LocalRoot, TCertificateSource::Authority}) {
    fields.Source = other;
    ASSERT_TRUE(tool.Process->SaveSettings(fields, error)) << error;
    saved.LoadFromText(tool.Read("Vardex.cfg"));
    EXPECT_FALSE(saved.SectionExists("ACME")) << CertificateSourceName(other);
    TSettingsFields loaded;
    ASSERT_TRUE(tool.Process->LoadSettings(loaded, error)) << error;
    EXPECT_EQ(loaded.Source, other);
  }
}

TEST(Tessmar_ConfigurationFile, LoadGivesDefaultsNoUsersAndAnUnguessableLoginPath) {
  TToolInstallation tool;
  TScriptedSettingsWindow window;
  window.Current.CommonName = "typed but not saved";
  TSettingsFormLogic logic(*tool.Process, window);
  logic.LoadSettings();
  EXPECT_FALSE(tool.Exists("Vardex.cfg")) << "reading leaves no empty file behind";
  EXPECT_TRUE(tool.UI.Shown.empty());
  EXPECT_EQ(window.Current.CommonName, "");
  EXPECT_EQ(window.Current.Port, "443");
  EXPECT_EQ(window.Current.Country, "US");
  EXPECT_EQ(window.Current.EMail, "support@kelvane.example");
  EXPECT_TRUE(window.Current.UserLines.empty()) << "no sample users with known passwords";
  const std::string proposed = window.Current.LoginPath;
  EXPECT_TRUE(std::regex_match(proposed, std::regex("Door_[A-Za-z0-9]{16}"))) << proposed;
  logic.LoadSettings();
  EXPECT_NE(window.Current.LoginPath, proposed) << "each installation its own";

  tool.Dir.WriteFile("Vardex.cfg",
                     "[Configuration]\r\nVardexPort=\r\nLoginRequest=\r\nCommonName=\"quoted.example\"\r\n"
                     "[UserList]\r\nz=1\r\na=b=c\r\n");
  logic.LoadSettings();
  EXPECT_EQ(window.Current.Port, "443");
  EXPECT_TRUE(window.Current.LoginPath.starts_with("Door_")) << "an empty path is proposed a new one";
  EXPECT_EQ(window.Current.CommonName, "quoted.example");
  EXPECT_EQ(window.Current.UserLines, (std::vector<std::string>{"z=1", "a=b=c"}));
}

// ------------------------------------------------------------ request file

TEST(Tessmar_RequestFile, ByteForByte) {
  TToolInstallation tool;
  tool.Process->WriteRequestInputFile(SampleFields());
  const std::string expected =
      "HOME\t\t\t= .\r\n"
      "RANDFILE\t\t        = $HOME/.rnd\r\n"
      "\r\n"
      "oid_section\t\t= new_oids\r\n"
      "\r\n"
      "[ new_oids ]\r\n"
      "\r\n"
      "[ policy_match ]\r\n"
      "policy                     = policy_anything\r\n"
      "\r\n"
      "[ policy_anything ]\r\n"
      "countryName\t\t= optional\r\n"
      "stateOrProvinceName\t= optional\r\n"
      "localityName\t\t= optional\r\n"
      "organizationName\t\t= optional\r\n"
      "organizationalUnitName\t= optional\r\n"
      "commonName\t\t\t= supplied\r\n"
      "emailAddress\t\t= optional\r\n"
      "\r\n"
      "[ req ]\r\n"
      "default_bits\t\t= 2048\r\n"
      "default_keyfile \t        = privkey.pem\r\n"
      "distinguished_name\t        = req_distinguished_name\r\n"
      "prompt                     = no\r\n"
      "attributes\t\t\t= req_attributes\r\n"
      "x509_extensions\t\t= v3_ca\r\n"
      "string_mask                = nombstr\r\n"
      "req_extensions             = v3_req\r\n"
      "\r\n"
      "[ req_distinguished_name ]\r\n"
      "C                          = NZ\r\n"
      "ST                         = Canterbury\r\n"
      "L                          = Christchurch\r\n"
      "O                          = Example Ltd\r\n"
      "OU                         = Operations\r\n"
      "CN                         = reboot.example.com\r\n"
      "emailAddress               = admin@example.com\r\n"
      "\r\n"
      "[ req_attributes ]\r\n"
      "challengePassword\t\t= marzipans\r\n"
      "\r\n"
      "[ usr_cert ]\r\n"
      "basicConstraints=CA:FALSE\r\n"
      "subjectKeyIdentifier=hash\r\n"
      "authorityKeyIdentifier=keyid,issuer:always\r\n"
      "\r\n"
      "[ v3_req ]\r\n"
      "basicConstraints = CA:FALSE\r\n"
      "keyUsage = nonRepudiation, digitalSignature, keyEncipherment\r\n"
      "subjectAltName = DNS:reboot.example.com\r\n"
      "\r\n"
      "[ v3_ca ]\r\n"
      "subjectKeyIdentifier=hash\r\n"
      "authorityKeyIdentifier=keyid:always,issuer:always\r\n"
      "basicConstraints = CA:true\r\n"
      "\r\n"
      "[ crl_ext ]\r\n"
      "authorityKeyIdentifier=keyid:always,issuer:always\r\n";
  EXPECT_EQ(tool.Read("request.safetodelete"), expected);
}

TEST(Tessmar_RequestFile, EmptyFieldsAndAddressesAsTheyAre) {
  TToolInstallation tool;
  TSettingsFields fields = SampleFields();
  fields.CommonName = "203.0.113.5";
  fields.Province = "";
  fields.Organization = "Dollar $ and # sign";
  tool.Process->WriteRequestInputFile(fields);
  const std::string file = tool.Read("request.safetodelete");
  EXPECT_NE(file.find("\r\nST                         = \r\n"), std::string::npos);
  EXPECT_NE(file.find("\r\nO                          = Dollar $ and # sign\r\n"), std::string::npos);
  EXPECT_NE(file.find("\r\nsubjectAltName = IP:203.0.113.5\r\n"), std::string::npos);
}

// ------------------------------------------------------------------ readme

TEST(Tessmar_Readme, LineByLineWithTheStartTimeSent) {
  TToolInstallation tool;
  // 5 March 2024 02:30:00, the start time a submission at 14:30 sends.
  Global().CertificateStartTime = "45356.1041666667";
  tool.Process->SaveReadmeFile(" https://reboot.example.com:8443/Morning_Door ");
  LocalTime start;
  start.Year = 2024;
  start.Month = 3;
  start.Day = 5;
  start.Hour = 2;
  start.Minute = 30;
  start.DayOfWeek = 2;
  const std::vector<std::string> expected = {
      "---------------------",
      "Kelvane",
      "---------------------",
      "",
      "Your Vardex certificate was requested with a start time ",
      "of " + FormatShortDateLongTime(start) + ".",
      "",
      "Use this address to control Vardex from your web browser:",
      "",
      " https://reboot.example.com:8443/Morning_Door ",
      "",
      "",
      "",
      "Please make sure that your selected port is open in ",
      "your firewall, e.g. Control Panel > Windows Firewall.",
      "",
  };
  EXPECT_EQ(Lines(tool.Read("Docs/readme.txt")), expected);
}

TEST(Tessmar_Readme, StartTimeReadBackWithTheSeparatorItWasWrittenWith) {
  LocalTime now = ToLocalTime(std::chrono::system_clock::now());
  EXPECT_EQ(ReadmeStartTime("45356,5", ',', now), ReadmeStartTime("45356.5", '.', now));
  EXPECT_NE(ReadmeStartTime("45356,5", ',', now), FormatShortDateLongTime(now));
  EXPECT_EQ(ReadmeStartTime("45356,5", '.', now), FormatShortDateLongTime(now)) << "not a number: the time now";
  EXPECT_EQ(ReadmeStartTime("", '.', now), FormatShortDateLongTime(now));
}

// -------------------------------------------------------------------- logs

// UTF-16 little-endian bytes of a literal.
std::string U16(std::u16string_view text) {
  std::string bytes;
  for (char16_t unit : text) {
    bytes += static_cast<char>(unit & 0xFF);
    bytes += static_cast<char>(unit >> 8);
  }
  return bytes;
}

TEST(Tessmar_Logs, ErrorLogIsUtf16WithTheMarkAndAppends) {
  TToolInstallation tool;
  tool.Process->ReportError("first \xC3\xA9 \xF0\x9F\x94\x91");
  tool.Process->ReportError("second");
  EXPECT_EQ(tool.UI.Of("error"), (std::vector<std::string>{"first \xC3\xA9 \xF0\x9F\x94\x91", "second"}));
  const std::string stamp = FormatShortDateLongTime(ToLocalTime(tool.Clock.Now()));
  const std::u16string stamp16(stamp.begin(), stamp.end());
  EXPECT_EQ(tool.Read("tessmar_error.log"),
            "\xFF\xFE" + U16(stamp16 + u" first \u00E9 \U0001F511\r\n") + U16(stamp16 + u" second\r\n"));
}

TEST(Tessmar_Logs, NamesFollowTheProgramFile) {
  EXPECT_EQ(LogFileName("/opt/kelvane/tessmar", "_cancel.log"), "/opt/kelvane/tessmar_cancel.log");
  EXPECT_EQ(LogFileName("/opt/kelvane/Setup.bin", "_error.log"), "/opt/kelvane/Setup_error.log");
  EXPECT_EQ(LogFileName("/opt/kel.vane/tool", "_error.log"), "/opt/kel.vane/tool_error.log");
}

TEST(Tessmar_Logs, ALineThatCannotBeWrittenIsDropped) {
  TToolInstallation tool;
  AppendLogLine(tool.Folder + "missing/folder/x.log", "lost", ToLocalTime(tool.Clock.Now()));
  EXPECT_FALSE(tool.Exists("missing"));
}

// -------------------------------------------------------------- the cycle

class TScriptedWindows : public IToolWindows {
 public:
  explicit TScriptedWindows(TToolInstallation& tool) : FTool(tool) {}
  std::deque<bool> Welcome;   // true = Next
  std::deque<bool> Settings;  // true = a save sequence succeeded
  std::vector<std::string> Events;

  bool ShowWelcome() override {
    const bool next = Welcome.front();
    Welcome.pop_front();
    Events.push_back(next ? "welcome: next" : "welcome: cancel");
    if (!next) FTool.Process->LogCancel();
    return next;
  }
  void PrepareSettings() override { Events.push_back("prepare"); }
  bool ShowSettings() override {
    Events.push_back(std::string("settings, cancel log ") + (FTool.Exists("tessmar_cancel.log") ? "present" : "gone") +
                     (Global().SettingsActivated ? ", activated" : ""));
    Global().SettingsActivated = true;
    const bool ok = Settings.front();
    Settings.pop_front();
    return ok;
  }

 private:
  TToolInstallation& FTool;
};

TEST(Tessmar_Main, CancelNoThenNextThenBackThenSuccess) {
  TToolInstallation tool;
  TScriptedWindows windows(tool);
  windows.Welcome = {false, true, true};
  windows.Settings = {false, true};
  tool.UI.Answers = {false};
  tool.Process->Main(windows);
  EXPECT_EQ(windows.Events, (std::vector<std::string>{"welcome: cancel", "welcome: next", "prepare",
                                                      "settings, cancel log gone", "welcome: next", "prepare",
                                                      "settings, cancel log gone"}));
  EXPECT_EQ(tool.UI.Shown, (std::vector<std::string>{"ask: Do you want to cancel the installation of Vardex?"}));
}

TEST(Tessmar_Main, CancelYesEndsWithOneMoreCancelLine) {
  TToolInstallation tool;
  TScriptedWindows windows(tool);
  windows.Welcome = {false, false};
  tool.UI.Answers = {false, true};
  tool.Process->Main(windows);
  const std::string log = tool.Read("tessmar_cancel.log");
  size_t lines = 0;
  for (size_t at = log.find(Utf8ToUtf16LE(" Configuration cancelled\r\n")); at != std::string::npos;
       at = log.find(Utf8ToUtf16LE(" Configuration cancelled\r\n"), at + 1)) {
    ++lines;
  }
  EXPECT_EQ(lines, 2u);
}

// ------------------------------------------------------- help and about

TEST(Tessmar_Help, OpensTheTopicOrSaysNoHelpIsInstalled) {
  TToolInstallation tool;
  tool.Process->ShowHelp(1999);
  EXPECT_EQ(tool.UI.Shown.back(), "help: " + tool.Folder + "Docs/vardex.html#1999");

  tool.UI.HandlerAvailable = false;
  tool.Process->ShowHelp(1094);
  EXPECT_EQ(tool.UI.Shown.back(), "error: No context-sensitive help installed");

  tool.UI.HandlerAvailable = true;
  std::filesystem::remove(tool.Folder + "Docs/vardex.html");
  tool.Process->ShowHelp(1999);
  EXPECT_EQ(tool.UI.Shown.back(), "error: No context-sensitive help installed");
}

TEST(Tessmar_Help, ManualTutorialMailAndAbout) {
  TToolInstallation tool;
  RegisterVersionResource(MakeVersionResource({{"ProductName", "Kelvane"}}));
  tool.Process->LaunchVardexManual();
  tool.Process->LaunchTutorial();
  tool.Process->LaunchEMailToSupport();
  tool.Process->AboutVardex();
  UnregisterVersionResource();
  ASSERT_EQ(tool.UI.Shown.size(), 4u);
  EXPECT_EQ(tool.UI.Shown[0], "help: " + tool.Folder + "Docs/vardex.html#0") << "the help file that ships, at its start";
  EXPECT_EQ(tool.UI.Shown[1], "open: http://www.kelvane.example/vardex/tutorial/");
  EXPECT_EQ(tool.UI.Shown[2], "open: mailto:support@kelvane.example");
  EXPECT_NE(tool.UI.Shown[3].find("version 4.5.0.8"), std::string::npos) << tool.UI.Shown[3];
  EXPECT_NE(tool.UI.Shown[3].find("2005-2024"), std::string::npos) << "the end year follows the clock";
}

// ---------------------------------------------------- the save sequence

// An installation with a reference authority on loopback that signs with a
// test root, and the tool pointed at it.
class SaveSequence : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(MakeTestRoot(FRoot.Path()));
    StartAuthority(FRoot.Path() + "root.key");
  }

  void StartAuthority(const std::string& rootKey) {
    FServer.reset();
    TSignerOptions options;
    options.RootCertificate = FRoot.Path() + "root.pem";
    options.RootKey = rootKey;
    options.Days = 30;
    FAuthority = std::make_unique<TAuthority>(TCertificateSigner(options), "/certreq");
    FServer = std::make_unique<TAuthorityServer>(*FAuthority);
    std::string error;
    ASSERT_TRUE(FServer->Listen("127.0.0.1", 0, error)) << error;
    FServer->Start();
    FWindow.Current.AuthorityURL = AuthorityAt(FServer->Port(), "/certreq");
  }

  static std::string AuthorityAt(std::uint16_t port, const std::string& path) {
    return "http://127.0.0.1:" + std::to_string(port) + path;
  }

  std::string FirstError() const { return FTool.UI.Of("error").empty() ? "" : FTool.UI.Of("error")[0]; }

  void RebootThroughTheService(const std::string& vardex, const std::string& rootFile) {
    testing::ExpectRebootThroughTheService(FTool.Folder, vardex,
                                           static_cast<std::uint16_t>(std::stoi(FWindow.Current.Port)), rootFile);
  }

  void Press() {
    TSettingsFormLogic logic(*FTool.Process, FWindow);
    logic.btnConfigureClick();
    EXPECT_EQ(FWindow.RunningChanges, (std::vector<bool>{true, false})) << "the save action is blocked meanwhile";
  }

  std::vector<std::string> CertFiles() const {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(FTool.Folder + "Cert")) {
      names.push_back(entry.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    return names;
  }

  testing::TempDir FRoot;
  TToolInstallation FTool;
  TScriptedSettingsWindow FWindow = [] {
    TScriptedSettingsWindow window;
    window.Current = SampleFields();
    return window;
  }();
  std::unique_ptr<TAuthority> FAuthority;
  std::unique_ptr<TAuthorityServer> FServer;
};

// A password already stored as a hash ("Heather!9", from openssl passwd -6).
const std::string Sha512Hash =
    "$6$Qm7pX2$7jLElaB/DrO1iF261C02d10lBzEW5pVRJEF8W6ZMeTnJAbzqD49hqkHf5.KsG5jhFfk56wHf6vhVlQdCd00ob0";

TEST_F(SaveSequence, TypedPasswordsAreSavedAsHashesAndShownAsSaved) {
  FWindow.Current.UserLines = {"alice=Crocus1", "carol=" + Sha512Hash};
  FTool.UI.Answers = {false};
  Press();
  const std::vector<TIniEntry> users = TIniReader(FTool.Read("Vardex.cfg")).ReadSectionValues("UserList");
  ASSERT_EQ(users.size(), 2u);
  EXPECT_TRUE(users[0].Value.starts_with("$y$")) << users[0].Value;
  EXPECT_TRUE(CheckPassword(users[0].Value, "Crocus1"));
  EXPECT_EQ(users[1].Value, Sha512Hash) << "a hash is kept byte for byte";
  EXPECT_EQ(FWindow.Current.UserLines, (std::vector<std::string>{"alice=" + users[0].Value, "carol=" + Sha512Hash}))
      << "the window shows the list as saved";
}

TEST_F(SaveSequence, ValidationFailedLeavesEverythingAsItWas) {
  FWindow.Current.UserLines = {"nobody"};
  const std::string before = FTool.Read("Vardex.cfg");
  Press();
  EXPECT_EQ(FTool.Read("Vardex.cfg"), before);
  EXPECT_FALSE(FTool.Exists("request.safetodelete"));
  EXPECT_TRUE(CertFiles().empty());
  EXPECT_FALSE(FWindow.ClosedWithOK);
}

TEST_F(SaveSequence, CancelAtTheConfirmationKeepsTheSavedSettings) {
  FTool.UI.Answers = {false};
  Press();
  EXPECT_NE(FTool.Read("Vardex.cfg").find("CommonName=reboot.example.com"), std::string::npos);
  ASSERT_EQ(FTool.UI.Of("confirm").size(), 1u);
  EXPECT_EQ(FTool.UI.Of("confirm")[0],
            "Please confirm that you want a certificate for Vardex from the certificate authority at " +
                FWindow.Current.AuthorityURL +
                ", using the settings that you have entered. The procedure will take approximately 15 seconds. If "
                "the certificate is issued for \r\n\r\nreboot.example.com\r\n\r\nthen the certificate will be "
                "automatically installed for you and the installation procedure will finish.");
  EXPECT_FALSE(FTool.Exists("request.safetodelete"));
  EXPECT_TRUE(CertFiles().empty());
  EXPECT_EQ(FWindow.StatusTexts, (std::vector<std::string>{"Writing " + FTool.Folder + "Vardex.cfg"}));
}

TEST_F(SaveSequence, OpensslErrorKeepsTheRequestFileAndReportsOpensslsWords) {
  FWindow.Current.Province = "";  // openssl refuses an empty subject field
  FTool.UI.Answers = {true};
  Press();
  EXPECT_TRUE(FTool.Exists("request.safetodelete"));
  EXPECT_FALSE(FTool.Exists("Cert/WSScert.pem"));
  EXPECT_FALSE(FTool.Exists("Docs/readme.txt"));
  const auto errors = FTool.UI.Of("error");
  ASSERT_EQ(errors.size(), 1u);
  EXPECT_EQ(errors[0].rfind("Sorry, openssl.exe was unable to generate a request for you. The error message is:"
                            "\r\n\r\n",
                            0),
            0u)
      << errors[0];
  EXPECT_NE(errors[0].find("If problems persist, please email service@kelvane.example."), std::string::npos);
  EXPECT_NE(FTool.Read("tessmar_error.log").find(Utf8ToUtf16LE("Sorry, openssl.exe")), std::string::npos);
  EXPECT_EQ(FWindow.StatusTexts,
            (std::vector<std::string>{"Writing " + FTool.Folder + "Vardex.cfg", "Saving request details",
                                      "Generating certificate request... takes up to 35 seconds..."}));
}

TEST_F(SaveSequence, AuthorityErrorLeavesNoNewFiles) {
  StartAuthority(FRoot.Path() + "no-such.key");
  FTool.UI.Answers = {true};
  Press();
  EXPECT_FALSE(FTool.Exists("request.safetodelete"));
  EXPECT_TRUE(CertFiles().empty()) << "no key without its certificate";
  EXPECT_FALSE(FTool.Exists("Docs/readme.txt"));
  const auto errors = FTool.UI.Of("error");
  ASSERT_EQ(errors.size(), 1u);
  EXPECT_EQ(errors[0].rfind("The certificate authority at " + FWindow.Current.AuthorityURL +
                                " has not granted a certificate: it answered HTTP 422 Unprocessable Entity:\r\n\r\n"
                                "error: openssl could not sign the request:",
                            0),
            0u)
      << errors[0];
  EXPECT_FALSE(FWindow.ClosedWithOK);
  EXPECT_TRUE(Global().KeepGoing);
}

// After a first installation, a later save that brings no certificate (the
// authority refuses, nobody answers, the person cancels, the answer is for
// another key) leaves the working key and certificate byte for byte, still
// belonging together, no new files beside them, and the Common Name the
// working certificate was made for.
TEST_F(SaveSequence, NoNewCertificateLeavesTheWorkingPairAsItWas) {
  FTool.UI.Answers = {true};
  Press();
  ASSERT_TRUE(FWindow.ClosedWithOK) << FirstError();
  const std::string key = FTool.Read("Cert/WSSkey.pem");
  const std::string cert = FTool.Read("Cert/WSScert.pem");
  const std::string request = FTool.Read("Cert/WSSreq.pem");
  const std::string authority = AuthorityAt(FServer->Port(), "/certreq");

  testing::TServerScript otherKey;
  otherKey.Pieces = {"HTTP/1.1 200 OK\r\n\r\n" + testing::ReadFile(FRoot.Path() + "root.pem")};
  testing::TLoopbackHttpServer wrongAnswer(otherKey);
  struct TCase {
    const char* Name;
    std::string AuthorityURL;
    bool Confirmed;
    std::string Error;
  };
  const TCase cases[] = {
      {"cancelled", authority, false, ""},
      {"refused", AuthorityAt(FServer->Port(), "/wrong"), true, "The certificate authority at "},
      {"nobody answers", AuthorityAt(testing::UnusedLoopbackPort(), "/x"), true, "The certificate authority at "},
      {"another key's certificate", AuthorityAt(wrongAnswer.Port(), "/x"), true,
       "The certificate from the authority does not belong to the new private key."},
  };
  for (const TCase& test : cases) {
    SCOPED_TRACE(test.Name);
    std::string error;
    FWindow.Current.AuthorityURL = test.AuthorityURL;
    FTool.UI.Shown.clear();
    FTool.UI.Answers = {test.Confirmed};
    FWindow.RunningChanges.clear();
    FWindow.StatusTexts.clear();
    FWindow.ClosedWithOK = false;
    FWindow.Current.CommonName = "renamed.example.com";
    Press();
    EXPECT_FALSE(FWindow.ClosedWithOK);
    const auto errors = FTool.UI.Of("error");
    if (test.Error.empty()) {
      EXPECT_TRUE(errors.empty());
    } else {
      ASSERT_EQ(errors.size(), 1u);
      EXPECT_EQ(errors[0].rfind(test.Error, 0), 0u) << errors[0];
    }
    EXPECT_EQ(CertFiles(), (std::vector<std::string>{"CAcert.pem", "WSScert.pem", "WSSkey.pem", "WSSreq.pem"}));
    EXPECT_TRUE(FTool.Read("Cert/WSSkey.pem") == key);
    EXPECT_TRUE(FTool.Read("Cert/WSScert.pem") == cert);
    EXPECT_TRUE(FTool.Read("Cert/WSSreq.pem") == request);
    EXPECT_TRUE(CertificateMatchesKey(FTool.Folder + "Cert/WSScert.pem", FTool.Folder + "Cert/WSSkey.pem", "plover",
                                      error))
        << error;
    EXPECT_EQ(FTool.Process->StoredCommonName(), "reboot.example.com");
    EXPECT_EQ(FWindow.StatusTexts.back(),
              "The Common Name stays reboot.example.com until a certificate for renamed.example.com is installed.");
  }
}

// Each way the exchange with the authority fails names the address and the
// cause, and leaves no certificate.
TEST_F(SaveSequence, AnAuthorityFailureNamesTheAddressAndTheCause) {
  testing::TServerScript silent;
  silent.Mode = testing::TServerScript::TMode::NeverAnswer;
  testing::TLoopbackHttpServer silentServer(silent);
  testing::TServerScript empty;
  empty.Pieces = {"HTTP/1.1 200 OK\r\n\r\nno certificate today"};
  testing::TLoopbackHttpServer emptyServer(empty);
  struct TCase {
    const char* Name;
    std::string URL;
    std::string Cause;
  };
  const TCase cases[] = {
      {"refused", AuthorityAt(testing::UnusedLoopbackPort(), "/certreq"), "it could not be reached: "},
      {"time-out", AuthorityAt(silentServer.Port(), "/certreq"), "it did not answer within 1 seconds."},
      {"HTTP status and refusal text", AuthorityAt(FServer->Port(), "/elsewhere"),
       "it answered HTTP 404 Not Found:\r\n\r\nerror: there is no certificate authority at /elsewhere\r\n"},
      {"an answer without a certificate", AuthorityAt(emptyServer.Port(), "/certreq"),
       "it answered without a certificate:\r\n\r\nno certificate today"},
  };
  FTool.Process->WebHTTP1().WaitMS = 1000;
  for (const TCase& test : cases) {
    SCOPED_TRACE(test.Name);
    FTool.UI.Shown.clear();
    FTool.UI.Answers = {true};
    FWindow.RunningChanges.clear();
    FWindow.Current.AuthorityURL = test.URL;
    Press();
    const std::string expected = "The certificate authority at " + test.URL + " has not granted a certificate: " + test.Cause;
    ASSERT_EQ(FTool.UI.Of("error").size(), 1u);
    EXPECT_EQ(FirstError().substr(0, expected.size()), expected) << FirstError();
    EXPECT_EQ(FirstError().find("5 minutes"), std::string::npos);
    EXPECT_TRUE(CertFiles().empty());
  }
  const std::string refused = FTool.Read("tessmar_error.log");
  EXPECT_NE(refused.find(Utf8ToUtf16LE("Connection refused")), std::string::npos) << "the system's reason is logged";
}

TEST_F(SaveSequence, SuccessSavesACertificateThatChainsToTheRoot) {
  FTool.UI.Answers = {true};
  Press();
  ASSERT_TRUE(FTool.UI.Of("error").empty()) << FTool.UI.Of("error")[0];
  EXPECT_EQ(FTool.UI.Of("information"),
            (std::vector<std::string>{"Your secure certificate and private key have been saved in " + FTool.Folder +
                                      "Cert/ and your Vardex settings have been saved in the configuration file. "
                                      "Tessmar will now exit and the installation will finish."}));
  EXPECT_TRUE(FWindow.ClosedWithOK);
  EXPECT_FALSE(Global().KeepGoing);
  EXPECT_FALSE(FTool.Exists("request.safetodelete"));
  EXPECT_EQ(CertFiles(), (std::vector<std::string>{"CAcert.pem", "WSScert.pem", "WSSkey.pem", "WSSreq.pem"}));
  EXPECT_EQ(FTool.Read("Cert/CAcert.pem"), testing::ReadFile(FRoot.Path() + "root.pem"))
      << "the authority's root, which the service checks the certificate against";

  const std::string cert = FTool.Folder + "Cert/WSScert.pem";
  const std::string key = FTool.Folder + "Cert/WSSkey.pem";
  EXPECT_NE(RunTool("openssl verify -CAfile \"" + FRoot.Path() + "root.pem\" \"" + cert + "\"").find(": OK"),
            std::string::npos);
  EXPECT_NE(RunTool("openssl x509 -in \"" + cert + "\" -noout -ext subjectAltName").find("DNS:reboot.example.com"),
            std::string::npos);
  EXPECT_NE(RunTool("openssl x509 -in \"" + cert + "\" -noout -subject").find("CN = reboot.example.com"),
            std::string::npos);
  const std::string modulusOfKey = RunTool("openssl rsa -in \"" + key + "\" -passin pass:plover -noout -modulus");
  EXPECT_FALSE(modulusOfKey.empty()) << "the key opens with the shared passphrase";
  EXPECT_EQ(modulusOfKey, RunTool("openssl x509 -in \"" + cert + "\" -noout -modulus"));
  EXPECT_EQ(std::filesystem::status(key).permissions() & std::filesystem::perms::all,
            std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);

  const auto readme = Lines(FTool.Read("Docs/readme.txt"));
  ASSERT_EQ(readme.size(), 16u);
  EXPECT_EQ(readme[9], " https://reboot.example.com:8443/Morning_Door ");
  EXPECT_EQ(readme[5], "of " + ReadmeStartTime(Global().CertificateStartTime, '.', {}) + ".");

  // A second run replaces the certificate and the readme.
  FWindow.RunningChanges.clear();
  FWindow.Current.LoginPath = "Evening_Door";
  FTool.UI.Answers = {true};
  Press();
  EXPECT_EQ(Lines(FTool.Read("Docs/readme.txt"))[9], " https://reboot.example.com:8443/Evening_Door ");
  EXPECT_EQ(FTool.Read("Cert/WSScert.pem").find("-----BEGIN CERTIFICATE-----", 1), std::string::npos);
}

TEST_F(SaveSequence, StartedFromAnotherFolderWritesIntoTheInstallation) {
  const std::filesystem::path before = std::filesystem::current_path();
  testing::TempDir elsewhere;
  std::filesystem::current_path(elsewhere.Path());
  FTool.UI.Answers = {true};
  Press();
  std::filesystem::current_path(before);
  EXPECT_TRUE(FTool.Exists("Cert/WSScert.pem"));
  EXPECT_TRUE(FTool.Exists("Docs/readme.txt"));
  EXPECT_TRUE(std::filesystem::is_empty(elsewhere.Path())) << "nothing lands in the current folder";
}

// An authority that sends the certificate alone: the certificate is
// installed and the tool says that Cert/CAcert.pem is missing, unless the
// root there already fits.
TEST_F(SaveSequence, AnAuthorityThatSendsOnlyTheCertificate) {
  FAuthority->HandsOutRoot = false;
  FTool.UI.Answers = {true};
  Press();
  ASSERT_TRUE(FWindow.ClosedWithOK) << FirstError();
  const std::string root = FTool.Folder + "Cert/CAcert.pem";
  EXPECT_EQ(FTool.UI.Of("warning"),
            (std::vector<std::string>{"The certificate authority at " + FWindow.Current.AuthorityURL +
                                      " sent the certificate without its root, and " + root +
                                      " is missing. Vardex checks its certificate against that file and does not "
                                      "start without the right one: save the authority's root certificate (PEM) as " +
                                      root + "."}));
  EXPECT_FALSE(FTool.Exists("Cert/CAcert.pem"));

  std::filesystem::copy_file(FRoot.Path() + "root.pem", root);
  FTool.UI.Shown.clear();
  FTool.UI.Answers = {true};
  FWindow.RunningChanges.clear();
  Press();
  EXPECT_TRUE(FTool.UI.Of("warning").empty()) << "the root in place fits";
}

// Each source that issues a certificate leaves a folder the real service
// starts on, its certificate checked against the root the tool saved (the
// authority's root, or the local root whose fingerprint the tool showed).
class SourceEndToEnd : public SaveSequence, public ::testing::WithParamInterface<TCertificateSource> {};

TEST_P(SourceEndToEnd, TheServiceStartsOnTheFilesTheToolLeft) {
  const char* build = std::getenv("KELVANE_BUILD_DIR");
  const std::string vardex = std::string(build != nullptr ? build : "") + "/service/hosting/vardex";
  if (build == nullptr || !FileExists(vardex)) GTEST_SKIP() << "vardex is not built";
  FWindow.Current.Source = GetParam();
  FWindow.Current.CommonName = "localhost";
  FWindow.Current.IPNumber = "127.0.0.1";
  FWindow.Current.Port = std::to_string(testing::UnusedLoopbackPort());
  FTool.Ping.Output = "64 bytes from 127.0.0.1: icmp_seq=1 ttl=64\n";
  FTool.UI.Answers = {true};
  Press();
  ASSERT_TRUE(FWindow.ClosedWithOK) << FirstError();
  EXPECT_TRUE(FTool.UI.Of("warning").empty());
  const std::string root = FTool.Folder + "Cert/CAcert.pem";

  if (GetParam() == TCertificateSource::Authority) {
    RebootThroughTheService(vardex, FRoot.Path() + "root.pem");
    return;
  }
  // The local root: its key stays private beside the other files, and the
  // closing message and the readme name the root and its fingerprint.
  const std::string rootKey = FTool.Folder + "Cert/LocalRootkey.pem";
  EXPECT_EQ(std::filesystem::status(rootKey).permissions() & std::filesystem::perms::all,
            std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);
  EXPECT_EQ(FTool.Read("Cert/CAcert.pem"), FTool.Read("Cert/LocalRootcert.pem"));
  std::string fingerprint = RunTool("openssl x509 -in \"" + root + "\" -noout -fingerprint -sha256");
  fingerprint = fingerprint.substr(fingerprint.find('=') + 1, 95);
  ASSERT_EQ(fingerprint.size(), 95u);
  const std::string note = "The certificate was issued by a root of this server's own:\r\n\r\n" + root +
                           "\r\nSHA-256 fingerprint " + fingerprint + "\r\n\r\nBrowsers warn about Vardex until";
  ASSERT_EQ(FTool.UI.Of("information").size(), 1u);
  EXPECT_NE(FTool.UI.Of("information")[0].find(note), std::string::npos) << FTool.UI.Of("information")[0];
  EXPECT_NE(FTool.Read("Docs/readme.txt").find(note), std::string::npos);
  EXPECT_NE(RunTool("openssl x509 -in \"" + FTool.Folder + "Cert/WSScert.pem\" -noout -ext subjectAltName")
                .find("DNS:localhost"),
            std::string::npos);
  EXPECT_TRUE(RunTool("openssl x509 -in \"" + root + "\" -noout -ext basicConstraints").find("CA:TRUE") !=
              std::string::npos);

  // A second run issues a new certificate from the same root, so browsers
  // that trust it need nothing new.
  const std::string firstCertificate = FTool.Read("Cert/WSScert.pem");
  FTool.UI.Shown.clear();
  FTool.UI.Answers = {true};
  FWindow.RunningChanges.clear();
  Press();
  ASSERT_TRUE(FWindow.ClosedWithOK) << FirstError();
  EXPECT_NE(FTool.UI.Of("information")[0].find(fingerprint), std::string::npos);
  EXPECT_NE(FTool.Read("Cert/WSScert.pem"), firstCertificate);
  const std::string trusted = FRoot.Path() + "trusted-local-root.pem";
  std::filesystem::copy_file(root, trusted);
  RebootThroughTheService(vardex, trusted);
}

INSTANTIATE_TEST_SUITE_P(Sources, SourceEndToEnd,
                         ::testing::Values(TCertificateSource::Authority, TCertificateSource::LocalRoot),
                         [](const auto& test) {
                           std::string name = CertificateSourceName(test.param);
                           std::erase(name, '-');
                           return name;
                         });

// ACME: the tool writes the section [ACME] and the readme and leaves the
// certificate to the service: no key, no request, nothing posted anywhere.
TEST_F(SaveSequence, AcmeWritesItsSectionAndPostsNothing) {
  std::vector<std::string> posted;
  FAuthority->OnLog = [&](const std::string& line) { posted.push_back(line); };
  FWindow.Current.Source = TCertificateSource::Acme;
  FWindow.Current.AcmeDirectory = "https://127.0.0.1:14000/dir";
  FWindow.Current.AcmeEMail = "ops@example.com";
  FTool.UI.Answers = {true};
  Press();
  ASSERT_TRUE(FWindow.ClosedWithOK) << FirstError();
  TIniDocument saved;
  saved.LoadFromText(FTool.Read("Vardex.cfg"));
  EXPECT_EQ(saved.ReadString("ACME", "Directory", ""), "https://127.0.0.1:14000/dir");
  EXPECT_EQ(saved.ReadString("ACME", "EMail", ""), "ops@example.com");
  EXPECT_EQ(saved.ReadString("Configuration", "CommonName", ""), "reboot.example.com");
  EXPECT_TRUE(posted.empty()) << posted[0];
  EXPECT_TRUE(CertFiles().empty());
  EXPECT_FALSE(FTool.Exists("request.safetodelete"));
  EXPECT_FALSE(FTool.Exists(".rnd")) << "openssl did not run";
  ASSERT_EQ(FTool.UI.Of("confirm").size(), 1u);
  EXPECT_NE(FTool.UI.Of("confirm")[0].find("from the ACME directory https://127.0.0.1:14000/dir when it starts"),
            std::string::npos);
  const std::string readme = FTool.Read("Docs/readme.txt");
  EXPECT_NE(readme.find("Your Vardex certificate is obtained by the service.\r\n"), std::string::npos) << readme;
  EXPECT_NE(readme.find("from the ACME directory\r\nhttps://127.0.0.1:14000/dir\r\n"), std::string::npos);
}

// ------------------------------------------------------------ on the wire

TEST(Tessmar_Submission, FormFieldsOnTheWireAndTheCertificateSaved) {
  TToolInstallation tool;
  testing::TServerScript script;
  script.Pieces = {
      "HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\n\r\nsigned for you: -----BEGIN CERTIFICATE-----{*}QUJD{p}RA=="
      "{*}-----END CERTIFICATE-----{*}trailing"};
  testing::TLoopbackHttpServer server(script);
  TSettingsFields fields = SampleFields();
  fields.AuthorityURL = "http://127.0.0.1:" + std::to_string(server.Port()) + "/sign/app.dll?x";
  std::string error;
  ASSERT_TRUE(tool.Process->SaveSettings(fields, error)) << error;
  tool.Dir.WriteFile("Cert/WSSreq.pem.new", "-----BEGIN CERTIFICATE REQUEST-----\r\nMII+a/b\nend");
  tool.Dir.WriteFile("request.safetodelete", "x");

  // The submission alone, on what openssl would have left behind.
  ASSERT_TRUE(tool.Process->SubmitCertificateRequest(SampleFields(), error)) << error;
  EXPECT_EQ(error, "");

  const std::string sent = server.Received();
  EXPECT_EQ(sent.rfind("POST /sign/app.dll?x HTTP/1.1\r\nConnection: close\r\nUser-Agent: Tessmar v", 0), 0u) << sent;
  EXPECT_NE(sent.find("\r\nCache-Control: no-cache,max-stale=0\r\nHost: 127.0.0.1\r\n"), std::string::npos) << sent;
  const size_t body = sent.find("\r\n\r\n") + 4;
  EXPECT_EQ(sent.substr(body),
            "CertReq=%2D%2D%2D%2D%2DBEGIN+CERTIFICATE+REQUEST%2D%2D%2D%2D%2D%0D%7B%2A%7DMII%7BP%7Da/b%7B%2A%7Dend"
            "&LocalNow=45356%2E1041666667&LocalTimeZoneBias=" +
                std::to_string(tool.Process->GetTimeZoneBias()) + "&UserEMail=admin%40example%2Ecom\r\n\r\n");
  EXPECT_EQ(Global().CertificateStartTime, "45356.1041666667");
  EXPECT_FALSE(tool.Exists("request.safetodelete"));
  EXPECT_EQ(tool.Read("Cert/WSScert.pem.new"),
            "-----BEGIN CERTIFICATE-----\nQUJD+RA==\n-----END CERTIFICATE-----\n");
  EXPECT_FALSE(tool.Exists("Cert/CAcert.pem.new")) << "no root came with it";
  EXPECT_FALSE(tool.Exists("Cert/WSScert.pem")) << "the working certificate waits for the check against the key";
}

TEST(Tessmar_Submission, ThroughAProxyTheRequestLineCarriesTheWholeAddress) {
  TToolInstallation tool;
  testing::TServerScript script;
  script.Pieces = {"HTTP/1.1 500 Oops\r\n\r\nInternal ERROR: no signer\r\n"};
  testing::TLoopbackHttpServer proxy(script);
  TSettingsFields fields = SampleFields();
  fields.AuthorityURL = "http://ca.example.org:8080/certreq";
  std::string error;
  ASSERT_TRUE(tool.Process->SaveSettings(fields, error)) << error;
  tool.Dir.WriteFile("Cert/WSSreq.pem.new", "request");
  fields.Proxy = "127.0.0.1";
  fields.ProxyPort = std::to_string(proxy.Port());
  EXPECT_FALSE(tool.Process->SubmitCertificateRequest(fields, error));
  EXPECT_EQ(proxy.Received().rfind("POST HTTP://ca.example.org:8080/certreq HTTP/1.1\r\n", 0), 0u);
  EXPECT_EQ(error, "The certificate authority at http://ca.example.org:8080/certreq has not granted a certificate: it "
                   "answered HTTP 500 Oops (through the proxy 127.0.0.1:" +
                       fields.ProxyPort + "):\r\n\r\nInternal ERROR: no signer\r\n");
  EXPECT_TRUE(tool.UI.Of("error").empty()) << "the caller shows the message, not the request itself";
}

TEST(Tessmar_Submission, ProxyRules) {
  TProxySetting setting;
  setting = ApplyProxyFields(setting, "proxy.lan", "");
  EXPECT_TRUE(setting.UseProxy);
  EXPECT_EQ(setting.Port, 0) << "an empty port on the first attempt";
  setting = ApplyProxyFields(setting, "proxy.lan", "eighty");
  EXPECT_EQ(setting.Port, 80);
  setting = ApplyProxyFields(setting, "proxy.lan", "3128");
  EXPECT_EQ(setting.Port, 3128);
  setting = ApplyProxyFields(setting, "proxy.lan", "");
  EXPECT_EQ(setting.Port, 3128) << "an empty port keeps the earlier one";
  setting = ApplyProxyFields(setting, "proxy.lan", "70000");
  EXPECT_EQ(setting.Port, 80) << "no 16-bit port";
  setting = ApplyProxyFields(setting, "", "8080");
  EXPECT_FALSE(setting.UseProxy);
}

// ---------------------------------------------- passwords and second factors

// Typed passwords become hashes of the password the service reads (blanks and
// enclosing quotes are not part of it); hashes and lines that are no entry
// stay byte for byte.
TEST(Tessmar_UserList, TypedPasswordsBecomeHashesAndHashesStay) {
  std::vector<std::string> lines = {"alice=Crocus1", "  bob = \"Crocus=2 \"  ", "J\xC3\xBCrgen=Pass\xC3\xA9word",
                                    "carol=" + Sha512Hash, "; a note", "=nameless"};
  std::string error;
  ASSERT_TRUE(HashUserPasswords(lines, error)) << error;
  const std::pair<std::string, std::string> typed[] = {
      {"alice", "Crocus1"}, {"bob", "Crocus=2 "}, {"J\xC3\xBCrgen", "Pass\xC3\xA9word"}};
  for (size_t i = 0; i < std::size(typed); ++i) {
    const auto& [name, password] = typed[i];
    SCOPED_TRACE(name);
    ASSERT_TRUE(lines[i].starts_with(name + "=$y$")) << lines[i];
    const std::string hash = lines[i].substr(name.size() + 1);
    EXPECT_TRUE(CheckPassword(hash, password));
    EXPECT_FALSE(CheckPassword(hash, password + "x"));
  }
  EXPECT_TRUE(CheckPassword(Sha512Hash, "Heather!9"));
  EXPECT_EQ(std::vector<std::string>(lines.begin() + 3, lines.end()),
            (std::vector<std::string>{"carol=" + Sha512Hash, "; a note", "=nameless"}));
  EXPECT_EQ(UserNames(lines), (std::vector<std::string>{"alice", "bob", "J\xC3\xBCrgen", "carol"}));
}

TEST(Tessmar_SecondFactor, TheAddressNamesIssuerAndUserEncoded) {
  struct TCase {
    std::string Issuer, User, Address;
  };
  const TCase cases[] = {
      {"Vardex reboot.example.com", "bob",
       "otpauth://totp/Vardex%20reboot.example.com:bob?secret=JBSWY3DPEHPK3PXP&issuer=Vardex%20reboot.example.com"},
      {"Vardex fe80::1", "J\xC3\xBCrgen & Co/x",
       "otpauth://totp/Vardex%20fe80%3A%3A1:J%C3%BCrgen%20%26%20Co%2Fx?secret=JBSWY3DPEHPK3PXP"
       "&issuer=Vardex%20fe80%3A%3A1"},
  };
  for (const TCase& test : cases) EXPECT_EQ(OtpauthAddress(test.Issuer, test.User, "JBSWY3DPEHPK3PXP"), test.Address);

  TSettingsFields fields;
  fields.IPNumber = "10.0.0.5";
  EXPECT_EQ(TOTPIssuer(fields), "Vardex 10.0.0.5");
  fields.CommonName = "reboot.example.com";
  EXPECT_EQ(TOTPIssuer(fields), "Vardex reboot.example.com");
  EXPECT_EQ(TOTPIssuer(TSettingsFields{}), "Vardex");
}

TEST(Tessmar_SecondFactor, SecretsAre160RandomBitsInBase32) {
  std::string first, second, error, bytes;
  ASSERT_TRUE(NewTOTPSecret(first, error)) << error;
  ASSERT_TRUE(NewTOTPSecret(second, error)) << error;
  EXPECT_EQ(first.size(), 32u);
  ASSERT_TRUE(DecodeBase32(first, bytes)) << first;
  EXPECT_EQ(bytes.size(), 20u);
  EXPECT_NE(first, second);
}

// The new secret takes the place of the user's old entry (names match
// without regard to case); the rest of the file stays.
TEST(Tessmar_SecondFactor, ANewSecretReplacesTheUsersOldOne) {
  TToolInstallation tool;
  tool.Dir.WriteFile("Vardex.cfg", "[Configuration]\r\nCommonName=x\r\n[UserList]\r\nBob=pw\r\n"
                                   "[TOTP]\r\nbob=OLDSECRET\r\ncarol=KEEPME\r\n");
  TTOTPEnrolment enrolment;
  std::string error;
  ASSERT_TRUE(GiveTOTPSecret(*tool.Process, "Bob", "Vardex x", enrolment, error)) << error;
  const TIniReader saved(tool.Read("Vardex.cfg"));
  const std::vector<TIniEntry> secrets = saved.ReadSectionValues("TOTP");
  ASSERT_EQ(secrets.size(), 2u);
  EXPECT_EQ(secrets[0].Value, enrolment.Secret);
  EXPECT_NE(enrolment.Secret, "OLDSECRET");
  EXPECT_EQ(secrets[1].Key + "=" + secrets[1].Value, "carol=KEEPME");
  EXPECT_EQ(saved.ReadString("UserList", "Bob", ""), "pw");
  EXPECT_EQ(enrolment.User, "Bob");
  EXPECT_EQ(enrolment.Address, OtpauthAddress("Vardex x", "Bob", enrolment.Secret));
}

TEST(Tessmar_Submission, RequestFileReadWithItsByteOrderMark) {
  EXPECT_EQ(TextFromFileBytes("\xEF\xBB\xBFMII+"), "MII+");
  EXPECT_EQ(TextFromFileBytes(std::string("\xFF\xFEM\0+\0\xE9\0\n\0", 10)), "M+\xC3\xA9\n");
  EXPECT_EQ(TextFromFileBytes("plain\r\n"), "plain\r\n");
}

TEST(Tessmar_Submission, Substitutions) {
  EXPECT_EQ(EncodeRequestText("a+b\r\nc\n"), "a{P}b\r{*}c{*}");
  EXPECT_EQ(DecodeCertificateText("a{p}b\r{*}c{*}{P}"), "a+b\r\nc\n+");
  std::string certificate, quoted;
  EXPECT_FALSE(ExtractCertificate("HTTP/1.1 200 OK\r\n\r\nno luck", certificate, quoted));
  EXPECT_EQ(quoted, "HTTP/1.1 200 OK\r\n\r\nno luck") << "without \"error\" the whole answer is quoted";
  EXPECT_FALSE(ExtractCertificate("x\r\n-----begin certificate-----", certificate, quoted)) << "case-sensitive";
}

}  // namespace
}  // namespace kelvane
