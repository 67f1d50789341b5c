#include "KMX_uAcmeService.h"

#include <filesystem>
#include <mutex>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "AcmeTestServers.h"
#include "KMX_uAcmeJws.h"
#include "KMX_uAcmeRenewalInfo.h"
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

// The service's certificate for localhost, and a scripted ACME server on
// loopback that suggests a renewal window for it and refuses every order.
class AcmeServiceRenewalInfoTest : public ::testing::Test {
 protected:
  void SetUp() override {
    testing::TTestPkiOptions plain;
    plain.KeyPassphrase = "";
    const auto pki = testing::WriteTestPki(FFolder.Path() + "server/", plain);
    testing::WriteTestPki(FFolder.Path() + "Cert/");
    FServer = std::make_unique<testing::THttpsTestServer>(
        pki.Certificate, pki.Key, [this](const testing::THttpsTestRequest& request) { return Answer(request); });
    FBase = "https://localhost:" + std::to_string(FServer->Port());
    TAcmeServiceSettings settings;
    settings.Enabled = true;
    settings.Directory = FBase + "/dir";
    settings.CAFile = pki.RootCertificate;
    FService = std::make_unique<TAcmeService>(FFolder.Path(), "localhost", "127.0.0.1", settings, KeyPassphrase,
                                              [this](std::string_view line) {
                                                std::lock_guard guard(FLock);
                                                FLog += std::string(line) + "\n";
                                              });
    FId = FService->Assess().CertificateId;
    ASSERT_FALSE(FId.empty());
  }

  std::string Answer(const testing::THttpsTestRequest& request) {
    const std::string nonce = "Replay-Nonce: n" + std::to_string(++FNonces) + "\r\n";
    if (request.Target == "/dir")
      return testing::HttpResponse(200, "",
                                   R"({"newNonce":")" + FBase + R"(/nonce","newAccount":")" + FBase +
                                       R"(/account","newOrder":")" + FBase + R"(/order","renewalInfo":")" + FBase +
                                       R"(/ari"})");
    if (request.Target == "/ari/" + FId) {
      std::lock_guard guard(FLock);
      return testing::HttpResponse(200, "Retry-After: 21600\r\n",
                                   R"({"suggestedWindow":{"start":")" + FormatRfc3339(FWindow.Start) +
                                       R"(","end":")" + FormatRfc3339(FWindow.End) + R"("}})");
    }
    if (request.Target == "/nonce") return testing::HttpResponse(200, nonce, "");
    if (request.Target == "/account")
      return testing::HttpResponse(201, nonce + "Location: " + FBase + "/account/1\r\n", R"({"status":"valid"})");
    if (request.Target == "/order" && OrderPayloads().size() == 1)
      return testing::HttpResponse(409, nonce,
                                   R"({"type":"urn:ietf:params:acme:error:alreadyReplaced","detail":"replaced"})");
    return testing::HttpResponse(403, nonce, R"({"type":"urn:ietf:params:acme:error:unauthorized","detail":"no"})");
  }

  // The JSON payloads of the orders the service sent.
  std::vector<nlohmann::json> OrderPayloads() const {
    std::vector<nlohmann::json> payloads;
    for (const auto& request : FServer->Requests()) {
      if (request.Target != "/order") continue;
      std::string payload;
      EXPECT_TRUE(DecodeBase64Url(nlohmann::json::parse(request.Body).value("payload", ""), payload));
      payloads.push_back(nlohmann::json::parse(payload));
    }
    return payloads;
  }

  long Requests(const std::string& target) const {
    const auto requests = FServer->Requests();
    return std::count_if(requests.begin(), requests.end(),
                         [&](const testing::THttpsTestRequest& request) { return request.Target == target; });
  }

  void SuggestDays(int fromDays, int toDays) {
    const TimePoint now = std::chrono::time_point_cast<std::chrono::seconds>(std::chrono::system_clock::now());
    std::lock_guard guard(FLock);
    FWindow = {now + fromDays * 24h, now + toDays * 24h};
  }

  void CheckAndWait() {
    FService->CheckRenewal([](const std::string&) { return true; }, [] { ADD_FAILURE() << "installed"; });
    for (int i = 0; i < 1200 && FService->RenewalRunning(); ++i) std::this_thread::sleep_for(50ms);
    ASSERT_FALSE(FService->RenewalRunning());
  }

  std::string Log() {
    std::lock_guard guard(FLock);
    return FLog;
  }

  testing::TempDir FFolder;
  std::unique_ptr<testing::THttpsTestServer> FServer;
  std::unique_ptr<TAcmeService> FService;
  std::string FBase;
  std::string FId;
  std::mutex FLock;
  std::string FLog;
  TRenewalWindow FWindow;
  int FNonces = 0;
};

TEST_F(AcmeServiceRenewalInfoTest, WindowAheadPostponesAndIsNotAskedAgainBeforeRetryAfter) {
  SuggestDays(20, 22);
  const TimePoint usual = FService->Assess().RenewAt;
  CheckAndWait();
  EXPECT_THAT(Log(), HasSubstr("ACME: the server suggests renewing between " + FormatRfc3339(FWindow.Start) +
                               " and " + FormatRfc3339(FWindow.End)));
  const TCertificateState state = FService->Assess();
  EXPECT_EQ(state.Need, TCertificateNeed::Current);
  EXPECT_NE(state.RenewAt, usual);
  EXPECT_GE(state.RenewAt, FWindow.Start);
  EXPECT_LT(state.RenewAt, FWindow.End);
  // A second check within the six hours the server asked for asks nothing.
  CheckAndWait();
  EXPECT_EQ(Requests("/ari/" + FId), 1);
  EXPECT_EQ(Requests("/order"), 0);
}

TEST_F(AcmeServiceRenewalInfoTest, WindowPastRenewsNamingTheReplacedCertificate) {
  SuggestDays(-3, -1);
  CheckAndWait();
  EXPECT_THAT(Log(), HasSubstr("in the window the ACME server suggests"));
  // The server calls it replaced already: the order goes again without it,
  // and its refusal leaves the certificate in place until the next check.
  const auto orders = OrderPayloads();
  ASSERT_EQ(orders.size(), 2u) << Log();
  EXPECT_EQ(orders[0].value("replaces", ""), FId);
  EXPECT_FALSE(orders[1].contains("replaces"));
  EXPECT_THAT(Log(), HasSubstr("asked again at the next check"));
}

}  // namespace
}  // namespace kelvane
