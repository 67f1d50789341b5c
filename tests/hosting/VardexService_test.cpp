// The real vardex program, copied into a test installation folder, started
// as a service with the dry-run power backend and driven over TLS.

#include <gtest/gtest.h>

#include <csignal>
#include <filesystem>

#include "ChildProcess.h"
#include "TestHttpsClient.h"
#include "TestServiceFolder.h"

namespace kelvane {
namespace {

using namespace std::chrono_literals;
using testing::FreeLoopbackPort;
using testing::HttpsExchange;
using testing::MakeRequest;
using testing::ReadFile;
using testing::TChildProcess;
using testing::TestConfiguration;
using testing::TNotifySocket;
using testing::TTestServiceFolder;
using testing::WaitUntil;

class VardexService : public ::testing::Test {
 protected:
  void SetUp() override {
    Port = FreeLoopbackPort();
    Folder.WriteConfiguration(TestConfiguration(Port, "TerminateWaitTime=3000\r\n"));
    std::filesystem::copy_file(VARDEX_PROGRAM_PATH, Folder.Path() + "vardex");
  }

  std::unique_ptr<TChildProcess> StartService(std::vector<std::string> environment = {}) {
    return std::make_unique<TChildProcess>(Folder.Path() + "vardex",
                                           std::vector<std::string>{"/SERVICE", "/DRYRUN=" + RecordFile()},
                                           environment, Folder.Path());
  }

  std::string RecordFile() const { return Folder.Path() + "power.record"; }

  TTestServiceFolder Folder;
  std::uint16_t Port = 0;
};

TEST_F(VardexService, StartsReportsReadyServesARebootAndStopsOnSigterm) {
  TNotifySocket notify(Folder.Path() + "notify.sock");
  auto service = StartService({"NOTIFY_SOCKET=" + notify.Path()});
  EXPECT_NE(notify.Receive(30s).find("READY=1"), std::string::npos) << service->Stderr();
  EXPECT_TRUE(WaitUntil([&] { return service->Stdout().find("Listening on https://127.0.0.1:" + std::to_string(Port) +
                                                           "/\n") != std::string::npos; },
                        5s))
      << service->Stdout();

  const std::string body = "UserName=admin&Password=secret&Action=Reboot";
  auto reply = HttpsExchange(Port, MakeRequest("POST", "/Result_Vardex_Login", body),
                             {.RootCertificateFile = Folder.Path() + "Cert/CAcert.pem"});
  EXPECT_NE(reply.Body.find("Server reboot initiated."), std::string::npos) << reply.Error;
  EXPECT_TRUE(WaitUntil([&] { return ReadFile(RecordFile()) == "reboot\n"; }, 10s));

  service->Signal(SIGTERM);
  EXPECT_EQ(service->WaitFor(5s), 0);
  EXPECT_NE(notify.Receive(1s).find("STOPPING=1"), std::string::npos);
  EXPECT_FALSE(HttpsExchange(Port, MakeRequest("GET", "/Vardex_Login")).Connected);
}

TEST_F(VardexService, AFailedStartEndsWithAnErrorStatusAndTheLogSaysWhy) {
  std::filesystem::remove(Folder.Path() + "Cert/WSScert.pem");
  auto service = StartService();
  const auto status = service->WaitFor(30s);
  ASSERT_TRUE(status.has_value());
  EXPECT_NE(*status, 0);
  const std::string log = Folder.ErrorLog();
  EXPECT_NE(log.find("\tINFO: Cert\\WSScert.pem\r\n"), std::string::npos) << log;
  EXPECT_NE(log.find("\tFatal SSL certificate error: cannot load Server Certificate.\r\n"), std::string::npos);
  EXPECT_NE(service->Stderr().find("Cert not loaded"), std::string::npos) << service->Stderr();
  // The journal gets the log's reasons too.
  EXPECT_NE(service->Stderr().find("Fatal SSL certificate error: cannot load Server Certificate.\n"), std::string::npos)
      << service->Stderr();
}

TEST_F(VardexService, ARunWithoutModeSwitchChecksTheStartAndEnds) {
  auto good = testing::RunChild(Folder.Path() + "vardex", {"/DRYRUN"}, {}, Folder.Path(), 30s);
  EXPECT_EQ(good.Status, 0) << good.Stdout << good.Stderr;
  std::filesystem::remove(Folder.Path() + "Vardex.cfg");
  auto bad = testing::RunChild(Folder.Path() + "vardex", {"/DRYRUN"}, {}, Folder.Path(), 30s);
  EXPECT_EQ(bad.Status, 1) << bad.Stdout << bad.Stderr;
  EXPECT_NE((bad.Stdout + bad.Stderr).find("Errors_"), std::string::npos) << bad.Stdout << bad.Stderr;
  // The reason is on the terminal, not only in the log.
  EXPECT_NE(bad.Stderr.find("Server start cancelled. Configuration file '" + Folder.Path() + "Vardex.cfg' was not found."),
            std::string::npos)
      << bad.Stderr;
}

}  // namespace
}  // namespace kelvane
