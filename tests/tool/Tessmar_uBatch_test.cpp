#include "Tessmar_uBatch.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <sstream>

#include "Authority_uServer.h"
#include "ChildProcess.h"
#include "KMX_uPasswordHash.h"
#include "LoopbackHttpServer.h"
#include "TempDir.h"
#include "ServiceCheck.h"
#include "Tessmar_uGlobal.h"
#include "Tessmar_uKeyPair.h"
#include "ToolInstallation.h"
#include "ucIniFile.h"
#include "ucPaths.h"

namespace kelvane {
namespace {

namespace fs = std::filesystem;
using testing::MakeTestRoot;
using testing::TempDir;

std::string BuildPath(const std::string& relative) {
  const char* build = std::getenv("KELVANE_BUILD_DIR");
  const std::string path = std::string(build != nullptr ? build : "") + "/" + relative;
  return build != nullptr && FileExists(path) ? path : "";
}

// Runs a shell command line with no display in its environment, so a program
// that started Qt's windows would fail.
testing::TRunResult RunWithoutDisplay(const std::string& commandLine, const std::string& outputFolder) {
  return testing::RunChild("/bin/sh", {"-c", "unset DISPLAY WAYLAND_DISPLAY QT_QPA_PLATFORM; " + commandLine}, {},
                           outputFolder);
}

// ------------------------------------------------------------ arguments

TEST(Tessmar_Batch, TheCommandLineChoosesWindowsOrNot) {
  struct TCase {
    std::vector<std::string> Arguments;
    TToolCommand Command;
  };
  const TCase cases[] = {
      {{}, TToolCommand::Windows},
      {{"-platform", "offscreen"}, TToolCommand::Windows},
      {{"--help"}, TToolCommand::Help},
      {{"--batch", "--help"}, TToolCommand::Help},
      {{"--version"}, TToolCommand::Version},
      {{"--batch", "--answers", "a.cfg"}, TToolCommand::Batch},
      {{"--answers", "a.cfg"}, TToolCommand::Error},
  };
  for (const TCase& test : cases) {
    std::string error;
    EXPECT_EQ(ParseToolCommand(test.Arguments, error), test.Command) << ::testing::PrintToString(test.Arguments);
  }
}

TEST(Tessmar_Batch, HelpAndVersionNeedNoDisplay) {
  const std::string tessmar = BuildPath("tool/tessmar");
  const std::string authority = BuildPath("tool/authority/kelvane-authority");
  if (tessmar.empty() || authority.empty()) GTEST_SKIP() << "the programs are not built";
  TempDir output;
  struct TCase {
    std::string CommandLine;
    std::string Starts;
  };
  const TCase cases[] = {
      {"'" + tessmar + "' --help", "usage: tessmar"},
      {"'" + tessmar + "' --version", "tessmar 4.5.0.8\n"},
      {"'" + authority + "' --help", "usage: kelvane-authority"},
      {"'" + authority + "' --version", "kelvane-authority 4.5.0.8\n"},
  };
  for (const TCase& test : cases) {
    const testing::TRunResult run = RunWithoutDisplay(test.CommandLine, output.Path());
    EXPECT_EQ(run.Status, 0) << test.CommandLine << "\n" << run.Stderr;
    EXPECT_EQ(run.Stdout.rfind(test.Starts, 0), 0u) << test.CommandLine << "\n" << run.Stdout;
  }
  const testing::TRunResult wrong = RunWithoutDisplay("'" + tessmar + "' --port 8443", output.Path());
  EXPECT_EQ(wrong.Status, 1);
  EXPECT_NE(wrong.Stderr.find("--port belongs to batch mode: add --batch"), std::string::npos) << wrong.Stderr;
}

// ------------------------------------------------------------ failures

// Batch runs that must end with 1, the reason on standard error and nothing
// written: the same checks and messages as the window.
TEST(Tessmar_Batch, RefusalsEndWithOneAndTheReason) {
  struct TCase {
    const char* Name;
    std::vector<std::string> Arguments;
    std::string Input;
    std::string Reason;
  };
  const std::string answers = "[Configuration]\nCommonName=localhost\nVardexPort=8443\n"
                              "[CertificateRequest]\nCountry=NZ\nAuthorityURL=http://127.0.0.1:9/certreq\n";
  const TCase cases[] = {
      {"no users", {"--answers", "answers.cfg"}, "", "error: Enter at least one Username and Password."},
      {"a user line without =", {"--answers", "answers.cfg", "--users", "-"}, "alice\n",
       "error: The syntax for Users and Passwords requires a = on each line."},
      {"port 443 not accepted", {"--answers", "answers.cfg", "--port", "443", "--users", "-"}, "a=b\n",
       "(answered no; --accept-port-443 answers yes)"},
      {"a password on the command line", {"--password", "secret"}, "",
       "tessmar: --password: passwords are never taken from the command line"},
      {"a one-letter country", {"--answers", "answers.cfg", "--users", "-", "--country", "q"}, "a=b\n",
       "error: The 2 letter country code is required for the secure certificate."},
      {"a missing answers file", {"--answers", "missing.cfg"}, "", "tessmar: "},
      {"an unknown switch", {"--colour", "red"}, "", "tessmar: unknown option --colour"},
      {"a second factor for nobody", {"--totp", "zed"}, "", "tessmar: --totp: there is no user zed in the [UserList]"},
  };
  for (const TCase& test : cases) {
    SCOPED_TRACE(test.Name);
    ResetGlobals();
    TempDir folder;
    folder.WriteFile("answers.cfg", answers);
    std::vector<std::string> arguments = {"--batch", "--folder", folder.Path()};
    for (const std::string& argument : test.Arguments) {
      arguments.push_back(argument.ends_with(".cfg") ? folder.Path() + argument : argument);
    }
    std::istringstream in(test.Input);
    std::ostringstream out;
    std::ostringstream err;
    EXPECT_EQ(RunBatch(arguments, folder.Path(), folder.Path() + "tessmar", in, out, err), 1);
    EXPECT_NE(err.str().find(test.Reason), std::string::npos) << err.str();
    EXPECT_FALSE(FileExists(folder.Path() + "Vardex.cfg")) << "nothing saved";
  }
  ResetGlobals();
}

// A batch that gets no certificate saves the settings, reports the
// authority's failure, ends with 1 and leaves no key.
TEST(Tessmar_Batch, NoCertificateEndsWithOneAndLeavesNoKey) {
  ResetGlobals();
  TempDir folder;
  fs::create_directories(folder.Path() + "Cert");
  const std::vector<std::string> arguments = {
      "--batch", "--folder", folder.Path(), "--common-name", "localhost", "--port", "8443", "--country", "nz",
      "--state", "Canterbury", "--locality", "Christchurch", "--organization", "Example Ltd", "--org-section", "Ops",
      "--email", "admin@example.com", "--users", "-", "--authority-url",
      "http://127.0.0.1:" + std::to_string(testing::UnusedLoopbackPort()) + "/certreq"};
  std::istringstream in("alice=Crocus1\n");
  std::ostringstream out;
  std::ostringstream err;
  EXPECT_EQ(RunBatch(arguments, folder.Path(), folder.Path() + "tessmar", in, out, err), 1);
  EXPECT_NE(err.str().find("error: The certificate authority at http://127.0.0.1:"), std::string::npos) << err.str();
  EXPECT_NE(err.str().find("has not granted a certificate: it could not be reached"), std::string::npos) << err.str();
  EXPECT_NE(out.str().find("Generating certificate request"), std::string::npos) << out.str();
  const std::string config = testing::ReadFile(folder.Path() + "Vardex.cfg");
  EXPECT_NE(config.find("Country=NZ\r\n"), std::string::npos) << config;
  EXPECT_NE(config.find("AuthorityURL=http://127.0.0.1:"), std::string::npos) << config;
  EXPECT_TRUE(CheckPassword(TIniReader(config).ReadString("UserList", "alice", ""), "Crocus1")) << config;
  EXPECT_TRUE(fs::is_empty(folder.Path() + "Cert"));
  ResetGlobals();
}

// ------------------------------------------------------------ end to end

// The real program in batch mode for each source, with the users on standard
// input. The organisation's authority (a reference authority on loopback) and
// the local root leave a folder the real service starts on, where a user of
// the list reboots (a dry run) over TLS checked against the root the tool
// saved; ACME leaves only its section for the service.
class BatchSource : public ::testing::TestWithParam<const char*> {};

TEST_P(BatchSource, TheServiceStartsOnWhatABatchRunLeft) {
  const std::string source = GetParam();
  const std::string tessmar = BuildPath("tool/tessmar");
  const std::string vardex = BuildPath("service/hosting/vardex");
  if (tessmar.empty() || vardex.empty()) GTEST_SKIP() << "the programs are not built";
  TempDir root;
  ASSERT_TRUE(MakeTestRoot(root.Path()));
  TSignerOptions options;
  options.RootCertificate = root.Path() + "root.pem";
  options.RootKey = root.Path() + "root.key";
  options.Days = 30;
  TAuthority authority(TCertificateSigner(options), "/certreq");
  int posted = 0;
  authority.OnLog = [&](const std::string&) { ++posted; };
  TAuthorityServer server(authority);
  std::string error;
  ASSERT_TRUE(server.Listen("127.0.0.1", 0, error)) << error;
  server.Start();

  TempDir installation;
  const std::string folder = installation.Path();
  fs::create_directories(folder + "Cert");
  fs::create_directories(folder + "Docs");
  const std::uint16_t port = testing::UnusedLoopbackPort();
  installation.WriteFile("site.cfg", "[Configuration]\nCommonName=localhost\nThisServerIPNumber=127.0.0.1\n"
                                     "VardexPort=" + std::to_string(port) + "\nLoginRequest=Morning_Door\n"
                                     "[CertificateRequest]\nCountry=NZ\nState=Canterbury\nLocality=Christchurch\n"
                                     "Organization=Example Ltd\nOrgSection=Operations\nEMail=admin@example.com\n"
                                     "AuthorityURL=http://127.0.0.1:" + std::to_string(server.Port()) + "/certreq\n" +
                                     (source == "acme" ? "[ACME]\nEMail=ops@example.com\n" : ""));
  // Carol's password ("Heather!9") was hashed before, with openssl passwd -6.
  const std::string carol =
      "$6$Qm7pX2$7jLElaB/DrO1iF261C02d10lBzEW5pVRJEF8W6ZMeTnJAbzqD49hqkHf5.KsG5jhFfk56wHf6vhVlQdCd00ob0";
  installation.WriteFile("users.txt", "Bob=Crocus=2\nJ\xC3\xBCrgen=Pass\xC3\xA9word\nCarol=" + carol + "\n");
  const std::string switches = source == "local-root" ? " --certificate-source local-root" : "";
  const testing::TRunResult run = RunWithoutDisplay(
      "'" + tessmar + "' --batch --folder '" + folder + "' --answers '" + folder + "site.cfg'" + switches +
          " --users - < '" + folder + "users.txt'",
      root.Path());
  ASSERT_EQ(run.Status, 0) << run.Stdout << run.Stderr;
  EXPECT_EQ(run.Stderr, "") << "no warning";
  const std::string config = testing::ReadFile(folder + "Vardex.cfg");
  const std::vector<TIniEntry> users = TIniReader(config).ReadSectionValues("UserList");
  ASSERT_EQ(users.size(), 3u) << config;
  EXPECT_EQ(users[0].Key, "Bob");
  EXPECT_TRUE(users[0].Value.starts_with("$y$") && CheckPassword(users[0].Value, "Crocus=2")) << config;
  EXPECT_EQ(users[1].Key, "J\xC3\xBCrgen");
  EXPECT_TRUE(CheckPassword(users[1].Value, "Pass\xC3\xA9word")) << "UTF-8 passwords are hashed byte for byte";
  EXPECT_EQ(users[2].Value, carol) << "a hashed password is kept as it is";
  EXPECT_EQ(posted, source == "authority" ? 1 : 0) << "only the authority's source posts a request";
  if (source == "acme") {
    EXPECT_NE(config.find("[ACME]\r\nDirectory=https://acme-v02.api.letsencrypt.org/directory\r\n"
                          "EMail=ops@example.com\r\n"),
              std::string::npos)
        << config;
    EXPECT_TRUE(fs::is_empty(folder + "Cert"));
    return;
  }
  EXPECT_EQ(config.find("[ACME]"), std::string::npos);
  EXPECT_TRUE(CertificateMatchesKey(folder + "Cert/WSScert.pem", folder + "Cert/WSSkey.pem", "plover", error))
      << error;
  EXPECT_FALSE(FileExists(folder + "Cert/WSSkey.pem.new"));
  // The root the browser is to trust: the organisation's, or the one the tool
  // made and named on standard output.
  const std::string trusted = source == "authority" ? root.Path() + "root.pem" : root.Path() + "local-root.pem";
  if (source == "local-root") {
    fs::copy_file(folder + "Cert/CAcert.pem", trusted);
    EXPECT_NE(run.Stdout.find(folder + "Cert/CAcert.pem\nSHA-256 fingerprint "), std::string::npos) << run.Stdout;
  }

  // Bob gets a second factor from the batch (his name written as the list
  // has it), and logs in with his hashed password and a code of it.
  const testing::TRunResult totp =
      RunWithoutDisplay("'" + tessmar + "' --batch --folder '" + folder + "' --totp bob", root.Path());
  ASSERT_EQ(totp.Status, 0) << totp.Stdout << totp.Stderr;
  const std::string secret = TIniReader(testing::ReadFile(folder + "Vardex.cfg")).ReadString("TOTP", "Bob", "");
  ASSERT_EQ(secret.size(), 32u);
  EXPECT_NE(totp.Stdout.find("\notpauth://totp/Vardex%20localhost:Bob?secret=" + secret +
                             "&issuer=Vardex%20localhost\n"),
            std::string::npos)
      << totp.Stdout;
  testing::ExpectRebootThroughTheService(folder, vardex, port, trusted, secret);
}

INSTANTIATE_TEST_SUITE_P(Tessmar, BatchSource, ::testing::Values("authority", "acme", "local-root"),
                         [](const auto& test) {
                           std::string name = test.param;
                           std::erase(name, '-');
                           return name;
                         });

}  // namespace
}  // namespace kelvane
