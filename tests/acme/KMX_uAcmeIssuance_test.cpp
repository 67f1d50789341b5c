#include "KMX_uAcmeIssuance.h"

#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "AcmeTestServers.h"
#include "KMX_uAcmeHttp01Responder.h"
#include "KMX_uSSL.h"
#include "KMX_uAcmeTlsAlpn.h"
#include "Pebble.h"
#include "TempDir.h"
#include "TestServiceFolder.h"
#include "TestPki.h"
#include "ucProcess.h"

namespace kelvane {
namespace {

using ::testing::HasSubstr;

constexpr char ServiceName[] = "localhost";

TProcessRun OpenSSL(const std::string& arguments) {
  return RunProcess("openssl " + arguments, std::chrono::seconds(30));
}

unsigned Mode(const std::string& path) {
  struct stat info {};
  return ::stat(path.c_str(), &info) == 0 ? (info.st_mode & 0777) : 0;
}

// Pebble on loopback, validating against this test's tls-alpn-01 listener and
// http-01 responder.
class AcmeIssuanceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!testing::TPebble::Installed()) GTEST_SKIP() << "pebble is not installed";
    testing::TTestPkiOptions options;
    options.KeyPassphrase = "";
    const auto ordinary = testing::WriteTestPki(FFolder.Path() + "listener/", options);
    FListener = std::make_unique<testing::TTlsAlpnTestListener>(FTlsAlpn, ordinary.Certificate, ordinary.Key);
    std::string error;
    ASSERT_TRUE(FHttp01.Start("127.0.0.1", 0, error)) << error;
    std::filesystem::create_directories(FFolder.Path() + "pebble/");
    std::filesystem::create_directories(CertFolder());
    ASSERT_EQ(::symlink("/usr/bin/openssl", (FFolder.Path() + "openssl").c_str()), 0);
    FPebble = std::make_unique<testing::TPebble>(FFolder.Path() + "pebble/");
    ASSERT_TRUE(FPebble->Start(FListener->Port(), FHttp01.LocalPort(), error)) << error;
  }

  std::string CertFolder() const { return FFolder.Path() + "Cert/"; }

  TAcmeIssueSettings Settings() const {
    TAcmeIssueSettings settings;
    settings.Directory = FPebble->DirectoryUrl();
    settings.EMail = "admin@example.org";
    settings.ExtraRootsFile = FPebble->RootsFile();
    settings.DnsName = ServiceName;
    settings.AccountKeyFile = CertFolder() + "AcmeAccountKey.pem";
    settings.OutputFolder = CertFolder();
    settings.KeyPassphrase = "plover";
    settings.OrderTimeLimit = std::chrono::seconds(60);
    settings.PollInterval = std::chrono::milliseconds(200);
    return settings;
  }

  bool Obtain(const TAcmeIssueSettings& settings, IAcmeChallengeResponder& responder, std::string& error,
              const TAcmeProgress& progress = {}) {
    const TAcmeProgress logged = [&](std::string_view line) {
      FProgress += std::string(line) + "\n";
      if (progress) progress(line);
    };
    return ObtainCertificate(settings, responder, logged, SleepingWait(), error, FFailure);
  }

  // The service's own certificate checks, in the order it runs them before
  // it listens, plus what they take for granted.
  void ExpectFilesPassTheServiceChecks() {
    std::string errors;
    TCertificateChecks checks([&errors](std::string_view line) { errors += std::string(line) + "\n"; });
    ASSERT_TRUE(checks.CheckOpenSSLFolder(FFolder.Path()));
    EXPECT_TRUE(checks.CheckCert("Cert/CAcert.pem"));
    EXPECT_TRUE(checks.CheckCert("Cert/WSScert.pem"));
    EXPECT_TRUE(checks.CheckKey("Cert/WSSkey.pem", "plover"));
    EXPECT_FALSE(checks.CheckKey("Cert/WSSkey.pem", "wrong"));
    TimePoint notBefore, notAfter;
    std::string commonName;
    ASSERT_TRUE(checks.GetCertValues("Cert/WSScert.pem", notBefore, notAfter, commonName));
    EXPECT_EQ(commonName, ServiceName);
    EXPECT_TRUE(checks.CheckSignRootServer("Cert/CAcert.pem", "Cert/WSScert.pem"));
    EXPECT_EQ(errors, "");

    const std::string cert = CertFolder() + "WSScert.pem";
    const std::string key = CertFolder() + "WSSkey.pem";
    const TProcessRun verify = OpenSSL("verify -CAfile " + CertFolder() + "CAcert.pem " + cert);
    EXPECT_TRUE(verify.Status.Succeeded()) << verify.Output;
    EXPECT_THAT(OpenSSL("x509 -in " + cert + " -noout -text").Output, HasSubstr("DNS:localhost"));
    // The key belongs to the certificate.
    EXPECT_EQ(OpenSSL("x509 -in " + cert + " -noout -pubkey").Output,
              OpenSSL("pkey -in " + key + " -passin pass:plover -pubout").Output);
    for (const std::string name : {"WSScert.pem", "WSSkey.pem", "CAcert.pem", "AcmeAccountKey.pem"})
      EXPECT_EQ(Mode(CertFolder() + name), 0600u) << name;
  }

  testing::TempDir FFolder;
  TAcmeTlsAlpnResponder FTlsAlpn;
  TAcmeHttp01Responder FHttp01;
  std::unique_ptr<testing::TTlsAlpnTestListener> FListener;
  std::unique_ptr<testing::TPebble> FPebble;
  std::string FProgress;
  TAcmeFailure FFailure = TAcmeFailure::Passing;
};

TEST_F(AcmeIssuanceTest, IssuesWithEitherChallengeAndKeepsTheAccountKey) {
  std::string error;
  ASSERT_TRUE(Obtain(Settings(), FTlsAlpn, error)) << error << "\n" << FPebble->Output();
  EXPECT_GE(FListener->ChallengeHandshakes(), 1);
  EXPECT_THAT(FProgress, HasSubstr("tls-alpn-01"));
  ExpectFilesPassTheServiceChecks();
  const std::string accountKey = testing::ReadFile(CertFolder() + "AcmeAccountKey.pem");
  const std::string firstCertificate = testing::ReadFile(CertFolder() + "WSScert.pem");

  ASSERT_TRUE(Obtain(Settings(), FHttp01, error)) << error << "\n" << FPebble->Output();
  EXPECT_THAT(FProgress, HasSubstr("http-01"));
  ExpectFilesPassTheServiceChecks();
  EXPECT_EQ(testing::ReadFile(CertFolder() + "AcmeAccountKey.pem"), accountKey);
  EXPECT_NE(testing::ReadFile(CertFolder() + "WSScert.pem"), firstCertificate);
}

// Whether asking again can help: a server that cannot be reached may come
// back, a server that refuses the address or the name will refuse again.
TEST_F(AcmeIssuanceTest, FailuresGiveAClearReasonTellPassingFromPermanentAndWriteNothing) {
  const std::string pebbleRoot = FPebble->DirectoryUrl().substr(0, FPebble->DirectoryUrl().size() - 3);
  const struct {
    std::string Directory;
    std::string DnsName;
    std::string Reason;
    TAcmeFailure Failure;
  } cases[] = {
      {"http://127.0.0.1/dir", ServiceName, "is no https address", TAcmeFailure::Passing},
      {"https://127.0.0.1:" + std::to_string(testing::FreeLoopbackPort()) + "/dir", ServiceName, "Connection refused",
       TAcmeFailure::Passing},
      {pebbleRoot + "nodir", ServiceName, "status 404", TAcmeFailure::Permanent},
      {FPebble->DirectoryUrl(), "bad_name!.example", "urn:ietf:params:acme:error:", TAcmeFailure::Permanent},
  };
  for (const auto& c : cases) {
    TAcmeIssueSettings settings = Settings();
    settings.Directory = c.Directory;
    settings.DnsName = c.DnsName;
    std::string error;
    EXPECT_FALSE(Obtain(settings, FTlsAlpn, error)) << c.Directory;
    EXPECT_THAT(error, HasSubstr(c.Reason));
    EXPECT_THAT(error, HasSubstr(c.Directory == FPebble->DirectoryUrl() ? c.DnsName : c.Directory));
    EXPECT_EQ(FFailure, c.Failure) << error;
  }
  EXPECT_FALSE(std::filesystem::exists(CertFolder() + "WSScert.pem"));
}

TEST_F(AcmeIssuanceTest, ServerGoneMidwayFailsClearlyAndWithdrawsTheChallenge) {
  std::string error;
  const bool obtained = Obtain(Settings(), FTlsAlpn, error, [this](std::string_view line) {
    if (line.find("answering") != std::string_view::npos) FPebble->Stop();
  });
  EXPECT_FALSE(obtained);
  EXPECT_THAT(error, HasSubstr("accepting the challenge"));
  EXPECT_THAT(error, HasSubstr("Connection refused"));
  EXPECT_EQ(FFailure, TAcmeFailure::Passing);
  EXPECT_FALSE(std::filesystem::exists(CertFolder() + "WSScert.pem"));
  EXPECT_FALSE(testing::HandshakeWith(FListener->Port(), ServiceName, AcmeTlsAlpnProtocol).Connected);
}

}  // namespace
}  // namespace kelvane
