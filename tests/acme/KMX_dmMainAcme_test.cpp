// The service's start with an [ACME] section, against pebble on loopback.

#include <algorithm>
#include <filesystem>
#include <future>
#include <thread>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "KMX_dmMain.h"
#include "Pebble.h"
#include "TestHttpsClient.h"
#include "TestServiceFolder.h"
#include "ucPower.h"
#include "ucVersionInfo.h"

namespace kelvane {
namespace {

using ::testing::HasSubstr;
using namespace std::chrono_literals;

class TdmMainAcmeTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { RegisterVersionResource(MakeVersionResource({{"ProductName", "Kelvane"}})); }

  void SetUp() override {
    if (!testing::TPebble::Installed()) GTEST_SKIP() << "pebble is not installed";
    // No certificate at all: the service has to obtain its first one.
    for (const char* name : {"WSScert.pem", "WSSkey.pem", "CAcert.pem"})
      std::filesystem::remove(Folder.Path() + "Cert/" + name);
    Port = testing::FreeLoopbackPort();
    std::filesystem::create_directories(Folder.Path() + "pebble/");
    Pebble = std::make_unique<testing::TPebble>(Folder.Path() + "pebble/");
    std::string error;
    ASSERT_TRUE(Pebble->Start(Port, testing::FreeLoopbackPort(), error)) << error;
    LoopThread = std::thread([this] { Loop.Run(); });
  }

  void TearDown() override {
    if (!LoopThread.joinable()) return;
    Loop.PostAndWait([this] { Main.reset(); });
    Loop.Quit();
    LoopThread.join();
  }

  void Configure(std::string_view directory) {
    Folder.WriteConfiguration(testing::TestConfiguration(Port) + "\r\n[ACME]\r\nDirectory=" + std::string(directory) +
                              "\r\nCAFile=" + Pebble->RootsFile() + "\r\n");
  }

  bool Start(std::string& errorText) {
    bool started = false;
    Loop.PostAndWait([&] {
      Main = std::make_unique<TdmMain>(Loop, CreateDryRunPowerBackend(Folder.Path() + "power.record"), Folder.Path());
      Main->AttemptServiceStart(started, errorText);
    });
    return started;
  }

  testing::THttpsReply GetLogin(const std::string& root = {}) {
    testing::THttpsClientOptions options;
    options.RootCertificateFile = root;
    return testing::HttpsExchange(Port, testing::MakeRequest("GET", "/Vardex_Login"), options);
  }

  testing::TTestServiceFolder Folder;
  std::uint16_t Port = 0;
  std::unique_ptr<testing::TPebble> Pebble;
  TEventLoop Loop;
  std::thread LoopThread;
  std::unique_ptr<TdmMain> Main;
};

TEST_F(TdmMainAcmeTest, StartsWithoutCertificateObtainsOneAndServesTheLoginPage) {
  Configure(Pebble->DirectoryUrl());
  // While the first order is open the listener answers, but only with 503.
  std::atomic<bool> started{false};
  auto early = std::async(std::launch::async, [&] {
    std::vector<int> statuses;
    while (!started) {
      const auto reply = GetLogin();
      if (reply.Connected && reply.Status != 0) {
        statuses.push_back(reply.Status);
        if (reply.Status == 503) {
          EXPECT_THAT(reply.Body, HasSubstr("obtaining its certificate"));
        }
      }
      std::this_thread::sleep_for(20ms);
    }
    return statuses;
  });
  std::string errorText;
  const bool ok = Start(errorText);
  started = true;
  const std::vector<int> statuses = early.get();
  ASSERT_TRUE(ok) << errorText << "\n" << Folder.ErrorLog() << Pebble->Output();
  // The poller may catch the first login page between the end of the start
  // and its own stop; after that no 503 may come.
  ASSERT_FALSE(statuses.empty());
  EXPECT_EQ(statuses.front(), 503);
  const auto firstPage = std::find(statuses.begin(), statuses.end(), 200);
  EXPECT_TRUE(std::all_of(statuses.begin(), firstPage, [](int status) { return status == 503; }));
  EXPECT_TRUE(std::all_of(firstPage, statuses.end(), [](int status) { return status == 200; }));

  // The login page comes with a chain that verifies against pebble's root.
  const auto reply = GetLogin(Pebble->RootsFile());
  ASSERT_TRUE(reply.Connected) << reply.Error;
  EXPECT_EQ(reply.Status, 200);
  EXPECT_THAT(reply.Body, HasSubstr("Result_Vardex_Login"));
  EXPECT_THAT(Folder.ErrorLog(), HasSubstr("ACME: certificate for localhost written"));
}

TEST_F(TdmMainAcmeTest, UnusableDirectoryFailsTheStartWithAClearLine) {
  Configure("http://127.0.0.1/dir");
  std::string errorText;
  EXPECT_FALSE(Start(errorText));
  EXPECT_THAT(Main->StartReport(), HasSubstr("Server start cancelled."));
  EXPECT_THAT(Main->StartReport(), HasSubstr("Wrong parameter '[ACME] Directory'"));
  EXPECT_THAT(Folder.ErrorLog(), HasSubstr("is no https address"));
  EXPECT_FALSE(GetLogin().Connected);
}

}  // namespace
}  // namespace kelvane
