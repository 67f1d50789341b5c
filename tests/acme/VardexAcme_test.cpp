// The real vardex program with an [ACME] section, copied into a test
// installation folder without any certificate, started as a service with the
// dry-run power backend, against Debian's pebble on loopback.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <csignal>
#include <ctime>
#include <filesystem>
#include <iostream>
#include <thread>

#include "ChildProcess.h"
#include "Pebble.h"
#include "TestHttpsClient.h"
#include "TestServiceFolder.h"

namespace kelvane {
namespace {

using ::testing::HasSubstr;
using ::testing::Not;
using namespace std::chrono_literals;
using testing::HttpsExchange;
using testing::MakeRequest;
using testing::TChildProcess;
using testing::THttpsReply;
using testing::TNotifySocket;
using testing::WaitUntil;

// What "Reload Configuration" answers when it took the file.
constexpr char Reloaded[] = "Server configuration reloaded.";
// The line an administrator writes to renew now: a local time a second ahead
// as RenewObtainedBefore, which the service reads as the time of reading, so
// files obtained a moment ago, in the same second, are due as well.
std::string RenewNow() {
  const std::time_t now = std::time(nullptr) + 1;
  std::tm local{};
  ::localtime_r(&now, &local);
  char text[32];
  std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &local);
  return std::string("RenewObtainedBefore=") + text + "\r\n";
}

// Counts failed requests of a client that keeps making new TLS connections
// and fetching the login page, verified against pebble's roots, until it is
// stopped.
class TLoadClient {
 public:
  TLoadClient(std::uint16_t port, std::string roots)
      : FThread([this, port, roots = std::move(roots)] {
          while (!FStop) {
            const THttpsReply reply =
                HttpsExchange(port, MakeRequest("GET", "/Vardex_Login"), {.RootCertificateFile = roots});
            ++FRequests;
            if (reply.Status != 200 || !reply.Error.empty()) {
              ++FFailures;
              FFirstError = reply.Error.empty() ? "status " + std::to_string(reply.Status) : reply.Error;
            }
          }
        }) {}
  ~TLoadClient() { Stop(); }

  void Stop() {
    FStop = true;
    if (FThread.joinable()) FThread.join();
  }
  int Requests() const { return FRequests; }
  int Failures() const { return FFailures; }
  // Read after Stop.
  const std::string& FirstError() const { return FFirstError; }

 private:
  std::atomic<bool> FStop{false};
  std::atomic<int> FRequests{0};
  std::atomic<int> FFailures{0};
  std::string FFirstError;
  std::thread FThread;
};

class VardexAcme : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!testing::TPebble::Installed()) GTEST_SKIP() << "pebble is not installed";
    for (const char* name : {"WSScert.pem", "WSSkey.pem", "CAcert.pem"})
      std::filesystem::remove(Folder.Path() + "Cert/" + name);
    std::filesystem::copy_file(VARDEX_PROGRAM_PATH, Folder.Path() + "vardex");
    Port = testing::FreeLoopbackPort();
    std::filesystem::create_directories(Folder.Path() + "pebble/");
    Pebble = std::make_unique<testing::TPebble>(Folder.Path() + "pebble/");
    std::string error;
    ASSERT_TRUE(Pebble->Start(Port, testing::FreeLoopbackPort(), error)) << error;
  }

  void TearDown() override {
    if (!Service) return;
    Service->Signal(SIGTERM);
    Service->WaitFor(15s);
  }

  void Configure(const std::string& directory, const std::string& acmeLines = {}) {
    Folder.WriteConfiguration(testing::TestConfiguration(Port) + "\r\n[ACME]\r\nDirectory=" + directory +
                              "\r\nCAFile=" + Pebble->RootsFile() + "\r\n" + acmeLines);
  }

  void StartService() {
    Service = std::make_unique<TChildProcess>(Folder.Path() + "vardex",
                                              std::vector<std::string>{"/SERVICE", "/DRYRUN=" + Folder.Path() + "power.record"},
                                              std::vector<std::string>{"NOTIFY_SOCKET=" + Notify.Path()}, Folder.Path());
  }

  // Starts the service and waits until it has its certificate and is ready.
  void StartAndObtain() {
    Configure(Pebble->DirectoryUrl());
    StartService();
    ASSERT_THAT(Notify.Receive(110s), HasSubstr("READY=1")) << Service->Stderr() << Folder.ErrorLog();
  }

  THttpsReply GetLogin(const std::string& roots) const {
    return HttpsExchange(Port, MakeRequest("GET", "/Vardex_Login"), {.RootCertificateFile = roots});
  }
  THttpsReply GetLogin() const { return GetLogin(Pebble->RootsFile()); }

  // The login page's "Valid until" text; empty when the page did not come
  // with a certificate of the roots given (by default pebble's current ones).
  std::string ValidUntil(const std::string& roots = {}) const {
    const THttpsReply reply = GetLogin(roots.empty() ? Pebble->RootsFile() : roots);
    const size_t at = reply.Body.find("Valid until ");
    if (reply.Status != 200 || at == std::string::npos) return {};
    const size_t from = at + std::string_view("Valid until ").size();
    return reply.Body.substr(from, reply.Body.find('<', from) - from);
  }

  // Presses "Reload Configuration" after the file was rewritten with
  // `acmeLines`; answers the page's text.
  std::string ReloadWith(const std::string& acmeLines, const std::string& roots = {}) {
    Configure(Pebble->DirectoryUrl(), acmeLines);
    const std::string body = "UserName=admin&Password=secret&Action=Reload Configuration";
    return HttpsExchange(Port, MakeRequest("POST", "/Result_Vardex_Login", body),
                         {.RootCertificateFile = roots.empty() ? Pebble->RootsFile() : roots})
        .Body;
  }

  bool WaitForLog(std::string_view text, std::chrono::milliseconds timeout = 90s) const {
    return WaitUntil([&] { return Folder.ErrorLog().find(text) != std::string::npos; }, timeout);
  }

  testing::TTestServiceFolder Folder;
  std::uint16_t Port = 0;
  std::unique_ptr<testing::TPebble> Pebble;
  TNotifySocket Notify{Folder.Path() + "notify.sock"};
  std::unique_ptr<TChildProcess> Service;
};

TEST_F(VardexAcme, StartsWithoutCertificateObtainsOneAndServesAChainOfPebblesRoot) {
  StartAndObtain();
  const THttpsReply reply = GetLogin();
  ASSERT_TRUE(reply.Connected) << reply.Error;
  EXPECT_EQ(reply.Status, 200);
  EXPECT_THAT(reply.Body, HasSubstr("Result_Vardex_Login"));
  EXPECT_NE(ValidUntil(), "");
  EXPECT_THAT(Folder.ErrorLog(), HasSubstr("ACME: certificate for localhost written"));
  // The self-signed stand-in the listener started on leaves no files behind.
  EXPECT_FALSE(std::filesystem::exists(Folder.Path() + "Cert/standin"));
  for (const char* name : {"WSScert.pem", "WSSkey.pem", "CAcert.pem", "AcmeAccountKey.pem"})
    EXPECT_TRUE(std::filesystem::exists(Folder.Path() + "Cert/" + name)) << name;
}

TEST_F(VardexAcme, ADirectoryTheServerRefusesEndsTheStartAtOnceWithItsReason) {
  const std::string directory = Pebble->DirectoryUrl() + "-missing";
  Configure(directory);
  StartService();
  // Well before the 90 s the start gives a CA it cannot reach.
  const auto status = Service->WaitFor(30s);
  ASSERT_TRUE(status.has_value()) << Folder.ErrorLog();
  EXPECT_NE(*status, 0);
  const std::string reason = "Fatal error: no certificate from the ACME server " + directory +
                             ". The ACME server refused: the ACME directory " + directory + " answered status 404";
  EXPECT_THAT(Service->Stderr(), HasSubstr(reason));
  EXPECT_THAT(Folder.ErrorLog(), HasSubstr(reason));
  EXPECT_THAT(Folder.ErrorLog(), Not(HasSubstr("trying again")));
  EXPECT_FALSE(std::filesystem::exists(Folder.Path() + "Cert/standin"));
}

TEST_F(VardexAcme, ReloadAskingForANewCertificateRenewsUnderLoadWithoutAFailedRequest) {
  StartAndObtain();
  const std::string before = ValidUntil();
  ASSERT_NE(before, "");
  TLoadClient load(Port, Pebble->RootsFile());
  // The certificate was written a whole second before the time written; the
  // new certificate's end differs by whole seconds from the old one's.
  std::this_thread::sleep_for(1100ms);
  const std::string renewNow = RenewNow();
  EXPECT_THAT(ReloadWith(renewNow), HasSubstr(Reloaded));
  ASSERT_TRUE(WaitForLog("ACME: the renewed certificate is in use for new connections")) << Folder.ErrorLog();
  std::this_thread::sleep_for(500ms);
  load.Stop();
  std::cout << "load client: " << load.Requests() << " requests, " << load.Failures() << " failed\n";
  EXPECT_EQ(load.Failures(), 0) << load.FirstError();
  EXPECT_GT(load.Requests(), 10);
  const std::string after = ValidUntil();
  EXPECT_NE(after, "");
  EXPECT_NE(after, before);
  EXPECT_FALSE(std::filesystem::exists(Folder.Path() + "Cert/renewal/WSScert.pem"));
  // The line left in the file asks for nothing more: the next reload renews nothing.
  EXPECT_THAT(ReloadWith(renewNow), HasSubstr(Reloaded));
  std::this_thread::sleep_for(1s);
  EXPECT_EQ(ValidUntil(), after);
  const std::string log = Folder.ErrorLog();
  EXPECT_EQ(log.find("ACME: renewing:"), log.rfind("ACME: renewing:")) << log;
}

TEST_F(VardexAcme, PebbleGoneDuringARenewalKeepsTheOldCertificateUntilAReloadRetries) {
  StartAndObtain();
  const std::string before = ValidUntil();
  ASSERT_NE(before, "");
  Pebble->Stop();
  EXPECT_THAT(ReloadWith(RenewNow()), HasSubstr(Reloaded));
  ASSERT_TRUE(WaitForLog("ACME: trying the renewal again in 300 s")) << Folder.ErrorLog();
  EXPECT_THAT(Folder.ErrorLog(), HasSubstr("ACME: the renewal failed, the current certificate stays: "));
  EXPECT_THAT(Folder.ErrorLog(), HasSubstr("Connection refused"));
  EXPECT_EQ(ValidUntil(), before);

  // With the server back (and a new root of its own), the next reload tries
  // at once instead of after the wait.
  const std::string oldRoots = Folder.Path() + "old-roots.pem";
  std::filesystem::copy_file(Pebble->RootsFile(), oldRoots);
  std::string error;
  ASSERT_TRUE(Pebble->Start(Port, testing::FreeLoopbackPort(), error)) << error;
  EXPECT_THAT(ReloadWith(RenewNow(), oldRoots), HasSubstr(Reloaded));
  ASSERT_TRUE(WaitForLog("ACME: the renewed certificate is in use for new connections", 60s)) << Folder.ErrorLog();
  EXPECT_NE(ValidUntil(), "");
  EXPECT_EQ(ValidUntil(oldRoots), "");
}

}  // namespace
}  // namespace kelvane
