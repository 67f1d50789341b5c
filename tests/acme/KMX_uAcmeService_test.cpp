#include "KMX_uAcmeService.h"

#include <filesystem>
#include <mutex>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "AcmeTestServers.h"
#include "Pebble.h"
#include "TempDir.h"
#include "TestPki.h"

namespace kelvane {
namespace {

using ::testing::HasSubstr;
using namespace std::chrono_literals;

// A service folder whose certificate names another host, a listener that
// embeds the service's TLS hooks, and pebble validating against it.
class AcmeServiceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!testing::TPebble::Installed()) GTEST_SKIP() << "pebble is not installed";
    testing::TTestPkiOptions foreign;
    foreign.Subject = "/CN=other.example";
    foreign.SubjectAltName = "DNS:other.example";
    testing::WriteTestPki(FFolder.Path() + "Cert/", foreign);
    std::filesystem::create_directories(FFolder.Path() + "pebble/");
    FPebble = std::make_unique<testing::TPebble>(FFolder.Path() + "pebble/");
    TAcmeServiceSettings settings;
    settings.Enabled = true;
    settings.Directory = FPebble->DirectoryUrl();
    settings.CAFile = FPebble->RootsFile();
    FService = std::make_unique<TAcmeService>(FFolder.Path(), "localhost", "127.0.0.1", settings, "plover",
                                              [this](std::string_view line) {
                                                std::lock_guard guard(FLogLock);
                                                FLog += std::string(line) + "\n";
                                              });
    testing::TTestPkiOptions plain;
    plain.Subject = "/CN=other.example";
    plain.SubjectAltName = "DNS:other.example";
    plain.KeyPassphrase = "";
    const auto listenerFiles = testing::WriteTestPki(FFolder.Path() + "listener/", plain);
    FListener = std::make_unique<testing::TTlsAlpnTestListener>(
        [this](SSL_CTX* context) { FService->ConfigureListener(context); }, listenerFiles.Certificate,
        listenerFiles.Key);
    std::string error;
    ASSERT_TRUE(FPebble->Start(FListener->Port(), 1, error)) << error;
  }

  void TearDown() override {
    FListener.reset();
    FService.reset();
  }

  std::string Log() {
    std::lock_guard guard(FLogLock);
    return FLog;
  }

  // The names of the certificate a new connection gets.
  std::vector<std::string> ServedNames() {
    const auto handshake = testing::HandshakeWith(FListener->Port(), "localhost", "");
    std::string error;
    TX509 certificate = CertificateFromPem(handshake.PeerCertificate, error);
    return certificate ? CertificateHostNames(certificate.get()) : std::vector<std::string>{};
  }

  void ExpectFailedRenewalKeepsTheOldCertificate(std::string_view reason);

  bool WaitForRenewalEnd() {
    for (int i = 0; i < 1200 && FService->RenewalRunning(); ++i) std::this_thread::sleep_for(50ms);
    return !FService->RenewalRunning();
  }

  bool WaitForLog(std::string_view text) {
    for (int i = 0; i < 1200; ++i) {
      if (Log().find(text) != std::string::npos) return true;
      std::this_thread::sleep_for(50ms);
    }
    return false;
  }

  testing::TempDir FFolder;
  std::unique_ptr<testing::TPebble> FPebble;
  std::unique_ptr<TAcmeService> FService;
  std::unique_ptr<testing::TTlsAlpnTestListener> FListener;
  std::mutex FLogLock;
  std::string FLog;
};

TEST_F(AcmeServiceTest, RenewalChecksTheNewFilesThenNewConnectionsGetTheNewCertificate) {
  EXPECT_EQ(FService->Assess().Need, TCertificateNeed::OtherHost);
  EXPECT_EQ(ServedNames(), (std::vector<std::string>{"other.example", "other.example"}));
  std::string checkedFolder;
  std::atomic<bool> installed{false};
  FService->CheckRenewal(
      [&](const std::string& folder) {
        checkedFolder = folder;
        // The new files are complete before they are checked; the old ones
        // are still in place.
        EXPECT_EQ(AssessCertificate(FFolder.Path() + folder + "WSScert.pem", "localhost", std::nullopt,
                                    std::chrono::system_clock::now())
                      .Need,
                  TCertificateNeed::Current);
        EXPECT_EQ(FService->Assess().Need, TCertificateNeed::OtherHost);
        return true;
      },
      [&] { installed = true; });
  ASSERT_TRUE(WaitForRenewalEnd());
  EXPECT_EQ(checkedFolder, "Cert/renewal/");
  EXPECT_TRUE(installed);
  EXPECT_EQ(FService->Assess().Need, TCertificateNeed::Current) << Log();
  EXPECT_THAT(ServedNames(), ::testing::Contains("localhost"));
  EXPECT_THAT(Log(), HasSubstr("in use for new connections"));

  // A current certificate is left alone.
  const std::string certificate = testing::ReadFile(FFolder.Path() + "Cert/WSScert.pem");
  FService->CheckRenewal([](const std::string&) { return true; }, [] {});
  ASSERT_TRUE(WaitForRenewalEnd());
  EXPECT_EQ(testing::ReadFile(FFolder.Path() + "Cert/WSScert.pem"), certificate);
}

// A failed renewal is logged with its reason and retried later; the old
// files and the served certificate stay.
void AcmeServiceTest::ExpectFailedRenewalKeepsTheOldCertificate(std::string_view reason) {
  const std::string certificate = testing::ReadFile(FFolder.Path() + "Cert/WSScert.pem");
  FService->CheckRenewal([](const std::string&) { return false; }, [] { ADD_FAILURE() << "installed"; });
  ASSERT_TRUE(WaitForLog(reason)) << Log();
  EXPECT_THAT(Log(), HasSubstr("trying the renewal again"));
  EXPECT_TRUE(FService->RenewalRunning());
  EXPECT_EQ(testing::ReadFile(FFolder.Path() + "Cert/WSScert.pem"), certificate);
  EXPECT_EQ(ServedNames(), (std::vector<std::string>{"other.example", "other.example"}));
}

TEST_F(AcmeServiceTest, NewFilesRefusedByTheChecksAreNotUsed) {
  ExpectFailedRenewalKeepsTheOldCertificate("did not pass the checks");
}

TEST_F(AcmeServiceTest, AcmeServerGoneDuringRenewal) {
  FPebble->Stop();
  ExpectFailedRenewalKeepsTheOldCertificate("Connection refused");
}

TEST_F(AcmeServiceTest, ARefusalForGoodIsLeftToTheNextCheck) {
  TAcmeServiceSettings settings;
  settings.Enabled = true;
  settings.Directory = FPebble->DirectoryUrl() + "-missing";
  settings.CAFile = FPebble->RootsFile();
  FService->UpdateSettings(settings);
  const std::string certificate = testing::ReadFile(FFolder.Path() + "Cert/WSScert.pem");
  FService->CheckRenewal([](const std::string&) { return true; }, [] { ADD_FAILURE() << "installed"; });
  ASSERT_TRUE(WaitForRenewalEnd());
  EXPECT_THAT(Log(), HasSubstr("status 404"));
  EXPECT_THAT(Log(), HasSubstr("asked again at the next check in 12 hours"));
  EXPECT_THAT(Log(), ::testing::Not(HasSubstr("trying the renewal again")));
  EXPECT_EQ(testing::ReadFile(FFolder.Path() + "Cert/WSScert.pem"), certificate);
}

}  // namespace
}  // namespace kelvane
