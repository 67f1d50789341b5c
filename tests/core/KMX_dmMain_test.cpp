#include "KMX_dmMain.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <condition_variable>
#include <filesystem>
#include <future>
#include <mutex>
#include <thread>

#include <boost/asio/ip/tcp.hpp>

#include "TestHttpsClient.h"
#include "TestServiceFolder.h"
#include "ucPower.h"
#include "ucVersionInfo.h"

namespace kelvane {
namespace {

using namespace std::chrono_literals;
using testing::FreeLoopbackPort;
using testing::HttpsExchange;
using testing::MakeRequest;
using testing::ReadFile;
using testing::TestConfiguration;
using testing::THttpsReply;
using testing::TTestServiceFolder;

// A power backend whose first step waits until the test lets it go, so a
// test can hold one action in progress.
class TGatedPower final : public IPowerBackend {
 public:
  bool EnableShutdownRight() override {
    std::unique_lock lock(FMutex);
    FEntered = true;
    FChanged.notify_all();
    FChanged.wait(lock, [this] { return FOpen; });
    return true;
  }
  void NotifySessions(TPowerAction) override {}
  void Force(TPowerAction) override {}

  void WaitUntilEntered() {
    std::unique_lock lock(FMutex);
    FChanged.wait(lock, [this] { return FEntered; });
  }
  void Open() {
    std::lock_guard lock(FMutex);
    FOpen = true;
    FChanged.notify_all();
  }

 private:
  std::mutex FMutex;
  std::condition_variable FChanged;
  bool FEntered = false;
  bool FOpen = false;
};

// A power backend without the right to reboot; it records any action it is
// asked to force all the same, so a test sees one that should not happen.
class TRefusingPower final : public IPowerBackend {
 public:
  explicit TRefusingPower(std::string recordFile) : FDryRun(CreateDryRunPowerBackend(std::move(recordFile))) {}
  bool EnableShutdownRight() override { return false; }
  void NotifySessions(TPowerAction action) override { FDryRun->NotifySessions(action); }
  void Force(TPowerAction action) override { FDryRun->Force(action); }

 private:
  std::unique_ptr<IPowerBackend> FDryRun;
};

class TdmMainTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { RegisterVersionResource(MakeVersionResource({{"ProductName", "Kelvane"}})); }

  void SetUp() override {
    Port = FreeLoopbackPort();
    Folder.WriteConfiguration(TestConfiguration(Port, "AllowShutdown=True\r\n"));
    LoopThread = std::thread([this] { Loop.Run(); });
  }

  void TearDown() override {
    Loop.PostAndWait([this] { Main.reset(); });
    Loop.Quit();
    LoopThread.join();
  }

  bool Start(std::string& errorText, std::unique_ptr<IPowerBackend> power = nullptr) {
    if (!power) power = CreateDryRunPowerBackend(RecordFile());
    bool started = false;
    Loop.PostAndWait([&] {
      Main = std::make_unique<TdmMain>(Loop, std::move(power), Folder.Path());
      Main->AttemptServiceStart(started, errorText);
    });
    return started;
  }

  void StartOrFail() {
    std::string errorText;
    ASSERT_TRUE(Start(errorText)) << errorText << "\n" << Folder.ErrorLog();
    ASSERT_EQ(errorText, "");
  }

  THttpsReply Get(std::string_view target, std::uint16_t port = 0) {
    return HttpsExchange(port ? port : Port, MakeRequest("GET", target));
  }

  THttpsReply Submit(std::string_view action, std::string_view user = "admin", std::string_view password = "secret",
                     std::uint16_t port = 0) {
    std::string body = "UserName=" + std::string(user) + "&Password=" + std::string(password) + "&Action=" +
                       std::string(action);
    return HttpsExchange(port ? port : Port, MakeRequest("POST", "/Result_Vardex_Login", body));
  }

  // Submits once the action before has run: a confirmed reboot or shutdown
  // keeps the service busy until its timer has carried it out.
  THttpsReply SubmitWhenFree(std::string_view action) {
    THttpsReply reply;
    for (int i = 0; i < 60; ++i) {
      reply = Submit(action);
      if (reply.Body.find("Server is busy.") == std::string::npos) break;
      std::this_thread::sleep_for(50ms);
    }
    return reply;
  }

  // A folder in place of the confirmation template: it opens but cannot be read.
  void BreakConfirmationTemplate() const {
    std::filesystem::remove(Folder.Path() + "Web/KMX_Confirm.html");
    std::filesystem::create_directory(Folder.Path() + "Web/KMX_Confirm.html");
  }
  // Puts an empty template back (the built-in page) and waits until the
  // renderer has looked at the file again.
  void RestoreConfirmationTemplate() const {
    std::filesystem::remove(Folder.Path() + "Web/KMX_Confirm.html");
    Folder.Dir().WriteFile("Web/KMX_Confirm.html", "");
    std::this_thread::sleep_for(1100ms);
  }

  // Waits until the login page answers at the port (a restarted listener).
  THttpsReply WaitForLoginPage(std::uint16_t port, std::string_view path = "/Vardex_Login") {
    THttpsReply reply;
    for (int i = 0; i < 60 && reply.Status != 200; ++i) {
      reply = Get(path, port);
      if (reply.Status != 200) std::this_thread::sleep_for(50ms);
    }
    return reply;
  }

  std::string RecordFile() const { return Folder.Path() + "power.record"; }

  // Waits for the dry-run backend to record an action.
  std::string WaitForRecord() const {
    for (int i = 0; i < 100; ++i) {
      std::string record = ReadFile(RecordFile());
      if (!record.empty()) return record;
      std::this_thread::sleep_for(50ms);
    }
    return {};
  }

  TTestServiceFolder Folder;
  std::uint16_t Port = 0;
  TEventLoop Loop;
  std::thread LoopThread;
  std::unique_ptr<TdmMain> Main;
};

TEST_F(TdmMainTest, ServesTheLoginPageAtTheLoginPathInAnyCase) {
  StartOrFail();
  for (const char* path : {"/Vardex_Login", "/VARDEX_LOGIN", "/vardex_login?x=1"}) {
    THttpsReply reply = Get(path);
    EXPECT_EQ(reply.Status, 200) << path;
    EXPECT_NE(reply.Body.find("Result_Vardex_Login"), std::string::npos) << path;
    EXPECT_NE(reply.Body.find("value=\"Shutdown\""), std::string::npos) << path;
    EXPECT_EQ(reply.Header("Content-Type"), "text/html; charset=ISO-8859-1");
  }
  // The icon request is answered empty; in capitals it is a submission
  // without an action, answered empty as well.
  for (const char* path : {"/favicon.ico", "/FAVICON.ICO", "/anything"}) {
    THttpsReply reply = Get(path);
    EXPECT_EQ(reply.Status, 200) << path;
    EXPECT_EQ(reply.Body, "") << path;
  }
  EXPECT_EQ(Folder.ErrorLog(), "");
}

TEST_F(TdmMainTest, RefusesWrongCredentialsAndLogsTheAttemptSafely) {
  StartOrFail();
  THttpsReply reply = Submit("Reboot", "admin", "Secret");
  EXPECT_NE(reply.Body.find("You are not authorized."), std::string::npos);
  reply = Submit("Reboot", "evil%0D%0Aforged", "x");
  EXPECT_NE(reply.Body.find("You are not authorized."), std::string::npos);
  reply = Submit("Reboot", "", "secret");
  const std::string log = Folder.ErrorLog();
  EXPECT_NE(log.find("\tUser 'admin' at ip 127.0.0.1 was not authorized.\r\n"), std::string::npos) << log;
  EXPECT_NE(log.find("\tUser 'evil\\r\\nforged' at ip 127.0.0.1 was not authorized.\r\n"), std::string::npos) << log;
  EXPECT_NE(log.find("\tUser '' at ip 127.0.0.1 was not authorized.\r\n"), std::string::npos) << log;
  EXPECT_EQ(ReadFile(RecordFile()), "");
}

TEST_F(TdmMainTest, RebootIsConfirmedWithTheSecurityNoteAndCarriedOutLater) {
  StartOrFail();
  THttpsReply reply = Submit("Reboot", "ADMIN");
  EXPECT_NE(reply.Body.find("Server reboot initiated."), std::string::npos) << reply.Body;
  EXPECT_NE(reply.Body.find("It was the first usage by ADMIN"), std::string::npos) << reply.Body;
  // The confirmation comes first; the machine goes down about two seconds later.
  EXPECT_EQ(ReadFile(RecordFile()), "");
  EXPECT_EQ(WaitForRecord(), "reboot\n");
  EXPECT_NE(Folder.HistoryLog().find("\tADMIN\tat ip 127.0.0.1\tReboot\r\n"), std::string::npos);

  reply = SubmitWhenFree("Reboot");
  EXPECT_NE(reply.Body.find("Prior usage was on "), std::string::npos) << reply.Body;
}

TEST_F(TdmMainTest, ActionsOtherThanTheThreeDoNothing) {
  StartOrFail();
  for (const char* action : {"reboot", "REBOOT", "Format", "%00"}) {
    THttpsReply reply = Submit(action);
    EXPECT_EQ(reply.Status, 200);
    EXPECT_EQ(reply.Body, "") << action;
  }
  // An action given in the query string counts like a form field.
  THttpsReply reply = Get("/x?Action=Shutdown&UserName=admin&Password=secret");
  EXPECT_NE(reply.Body.find("Server shutdown initiated."), std::string::npos) << reply.Body;
  EXPECT_EQ(WaitForRecord(), "shutdown\n");
  EXPECT_EQ(Folder.ErrorLog(), "");
}

TEST_F(TdmMainTest, ShutdownNeedsItToBeAllowed) {
  Folder.WriteConfiguration(TestConfiguration(Port, "AllowShutdown=true\r\n"));
  StartOrFail();
  EXPECT_EQ(Get("/Vardex_Login").Body.find("value=\"Shutdown\""), std::string::npos) << "no Shutdown button";
  THttpsReply reply = Submit("Shutdown");
  EXPECT_NE(reply.Body.find("Failed to shutdown the server."), std::string::npos);
  EXPECT_NE(Folder.ErrorLog().find("The Shutdown feature has been prevented by \"False\" in vardex.cfg file."),
            std::string::npos);
}

TEST_F(TdmMainTest, OnlyOneActionRunsAtATime) {
  auto power = std::make_unique<TGatedPower>();
  TGatedPower& gate = *power;
  std::string errorText;
  ASSERT_TRUE(Start(errorText, std::move(power))) << Folder.ErrorLog();
  auto first = std::async(std::launch::async, [this] { return Submit("Reboot"); });
  gate.WaitUntilEntered();
  THttpsReply second = Submit("Reload Configuration");
  EXPECT_NE(second.Body.find("Server is busy. Try to login later."), std::string::npos) << second.Body;
  gate.Open();
  EXPECT_NE(first.get().Body.find("Server reboot initiated."), std::string::npos);
  EXPECT_NE(Folder.ErrorLog().find("\tUser 'admin' was not accepted. Server is busy.\r\n"), std::string::npos);
  // The flag is free again once the confirmed reboot has run.
  EXPECT_NE(SubmitWhenFree("Reload Configuration").Body.find("Server configuration reloaded."), std::string::npos);
}

TEST_F(TdmMainTest, WhatRunsIsWhatWasConfirmedAndNothingElseUntilItRan) {
  StartOrFail();
  EXPECT_NE(Submit("Shutdown").Body.find("Server shutdown initiated."), std::string::npos);
  // From the confirmation until the action has run, the service is busy: no
  // second action is added and none turns the first into another.
  EXPECT_NE(Submit("Reboot").Body.find("Server is busy. Try to login later."), std::string::npos);
  EXPECT_EQ(WaitForRecord(), "shutdown\n");
  // A reboot after a shutdown is a reboot.
  EXPECT_NE(SubmitWhenFree("Reboot").Body.find("Server reboot initiated."), std::string::npos);
  for (int i = 0; i < 100 && ReadFile(RecordFile()) == "shutdown\n"; ++i) std::this_thread::sleep_for(50ms);
  EXPECT_EQ(ReadFile(RecordFile()), "shutdown\nreboot\n");
  const std::string history = Folder.HistoryLog();
  EXPECT_NE(history.find("\tShutdown\r\n"), std::string::npos);
  EXPECT_EQ(std::count(history.begin(), history.end(), '\n'), 2) << history;
}

TEST_F(TdmMainTest, NoActionHappensWithoutItsConfirmation) {
  std::string errorText;
  ASSERT_TRUE(Start(errorText, std::make_unique<TRefusingPower>(RecordFile()))) << Folder.ErrorLog();
  EXPECT_NE(Submit("Reboot").Body.find("Failed to reboot the server."), std::string::npos);
  EXPECT_NE(Submit("Shutdown").Body.find("Failed to shutdown the server."), std::string::npos);
  Loop.PostAndWait([this] { Main.reset(); });

  // A confirmation page that cannot be made: the browser gets a plain 500
  // without the server's paths, the error log the detail, and nothing runs.
  BreakConfirmationTemplate();
  StartOrFail();
  const THttpsReply reply = Submit("Reboot");
  EXPECT_EQ(reply.Status, 500);
  EXPECT_EQ(reply.Body, "Internal server error.");
  EXPECT_NE(Folder.ErrorLog().find("Cannot open file \"" + Folder.Path() + "Web/KMX_Confirm.html\""),
            std::string::npos)
      << Folder.ErrorLog();
  std::this_thread::sleep_for(2500ms);
  EXPECT_EQ(ReadFile(RecordFile()), "");
  EXPECT_EQ(Folder.HistoryLog(), "");
  // The service is free for the next action.
  RestoreConfirmationTemplate();
  EXPECT_NE(Submit("Reboot").Body.find("Server reboot initiated."), std::string::npos);
}

TEST_F(TdmMainTest, AStopWhileAReloadMovesTheListenerEndsCleanly) {
  for (int round = 0; round < 3; ++round) {
    Port = FreeLoopbackPort();
    Folder.WriteConfiguration(TestConfiguration(Port));
    StartOrFail();
    Folder.WriteConfiguration(TestConfiguration(FreeLoopbackPort()));
    EXPECT_NE(Submit("Reload Configuration").Body.find("Server configuration reloaded."), std::string::npos);
    // The restart runs on the request's thread right after the answer.
    Loop.PostAndWait([this] { Main.reset(); });
  }
}

TEST_F(TdmMainTest, AReloadToAPortThatIsTakenKeepsTheListenerInForce) {
  StartOrFail();
  const std::uint16_t taken = FreeLoopbackPort();
  auto blocker = std::make_unique<boost::asio::io_context>();
  auto acceptor = std::make_unique<boost::asio::ip::tcp::acceptor>(
      *blocker, boost::asio::ip::tcp::endpoint{boost::asio::ip::make_address("127.0.0.1"), taken});
  Folder.WriteConfiguration(TestConfiguration(taken));
  EXPECT_NE(Submit("Reload Configuration").Body.find("Server configuration reloaded."), std::string::npos);
  std::string log;
  for (int i = 0; i < 60 && log.find("could not be taken") == std::string::npos; ++i) {
    std::this_thread::sleep_for(50ms);
    log = Folder.ErrorLog();
  }
  EXPECT_NE(log.find("\tCannot start HTTPS server. Address already in use\r\n"), std::string::npos) << log;
  EXPECT_NE(log.find("\tThe new listener address 127.0.0.1:" + std::to_string(taken) +
                     " could not be taken; the HTTPS server goes on listening on 127.0.0.1:" + std::to_string(Port) +
                     ".\r\n"),
            std::string::npos)
      << log;
  EXPECT_EQ(WaitForLoginPage(Port).Status, 200);

  // Once the port is free, the same file moves the listener on the next reload.
  acceptor.reset();
  EXPECT_NE(Submit("Reload Configuration").Body.find("Server configuration reloaded."), std::string::npos);
  EXPECT_EQ(WaitForLoginPage(taken).Status, 200);
}

TEST_F(TdmMainTest, AReloadThatFailsHalfwayChangesNothing) {
  StartOrFail();
  BreakConfirmationTemplate();
  const std::uint16_t newPort = FreeLoopbackPort();
  Folder.WriteConfiguration(TestConfiguration(newPort, "LoginRequest=Other\r\n"));
  const THttpsReply reply = Submit("Reload Configuration");
  EXPECT_NE(reply.Body.find("Failed to reload configuration file."), std::string::npos) << reply.Body;
  EXPECT_NE(Folder.ErrorLog().find("\tUser 'admin' at ip 127.0.0.1 failed to reload configuration file. Cannot open "
                                   "file \""),
            std::string::npos)
      << Folder.ErrorLog();
  EXPECT_EQ(Folder.HistoryLog(), "");
  EXPECT_EQ(Get("/Vardex_Login").Status, 200);
  EXPECT_EQ(Get("/Other").Body, "");

  // With the page back, the same file is taken whole.
  RestoreConfirmationTemplate();
  EXPECT_NE(Submit("Reload Configuration").Body.find("Server configuration reloaded."), std::string::npos);
  EXPECT_NE(WaitForLoginPage(newPort, "/Other").Body.find("Result_Other"), std::string::npos);
}

TEST_F(TdmMainTest, NamesAndPasswordsBeyondAsciiLogInFromABrowserAndFromAScript) {
  Folder.WriteConfiguration("[Configuration]\r\nThisServerIPNumber=127.0.0.1\r\nVardexPort=" + std::to_string(Port) +
                            "\r\nCommonName=localhost\r\n[UserList]\r\nJ\xC3\xBCrgen=Pa\xC3\x9F\xE2\x82\xAC\r\n");
  StartOrFail();
  // An ISO-8859-1 page's form as browsers send it (code page 1252; "\xDF\x80"
  // happens to be well-formed UTF-8 too), UTF-8 from a script, the name in
  // capitals.
  const std::pair<const char*, const char*> forms[] = {
      {"J%FCrgen", "Pa%DF%80"}, {"J%DCRGEN", "Pa%DF%80"}, {"J%C3%BCrgen", "Pa%C3%9F%E2%82%AC"},
      {"J%C3%9CRGEN", "Pa%C3%9F%E2%82%AC"}};
  for (const auto& [user, password] : forms) {
    const std::string body = Submit("Reload Configuration", user, password).Body;
    EXPECT_NE(body.find("Server configuration reloaded."), std::string::npos) << user << " " << password << body;
  }
  EXPECT_NE(Submit("Reload Configuration", "J%FCrgen", "Pa%DF").Body.find("You are not authorized."),
            std::string::npos);
}

TEST_F(TdmMainTest, ReloadAppliesChangesAndMovesTheListenerAfterAnswering) {
  StartOrFail();
  THttpsReply reply = Submit("Reload Configuration");
  EXPECT_NE(reply.Body.find("Server configuration reloaded."), std::string::npos);

  const std::uint16_t newPort = FreeLoopbackPort();
  Folder.WriteConfiguration(TestConfiguration(newPort, "LoginRequest=Other\r\nVardexPort=bad\r\n"));
  reply = Submit("Reload Configuration");
  EXPECT_NE(reply.Body.find("Server configuration reloaded."), std::string::npos) << reply.Body;
  EXPECT_NE(reply.Body.find("Prior usage was on "), std::string::npos);
  // The first VardexPort counts; the second is ignored.
  THttpsReply moved;
  for (int i = 0; i < 50 && moved.Status != 200; ++i) {
    moved = Get("/other", newPort);
    if (moved.Status != 200) std::this_thread::sleep_for(50ms);
  }
  EXPECT_EQ(moved.Status, 200) << moved.Error;
  EXPECT_NE(moved.Body.find("Result_Other"), std::string::npos);
  EXPECT_FALSE(Get("/other").Connected);

  // A reload that fails keeps everything as it was.
  Folder.WriteConfiguration("[Configuration]\r\nVardexPort=1\r\n");
  reply = HttpsExchange(newPort, MakeRequest("POST", "/x", "UserName=admin&Password=secret&Action=Reload+Configuration"));
  EXPECT_NE(reply.Body.find("Failed to reload configuration file."), std::string::npos) << reply.Body;
  EXPECT_NE(Folder.ErrorLog().find("User 'admin' at ip 127.0.0.1 failed to reload configuration file. Error(s) in "
                                   "configuration file '"),
            std::string::npos);
  EXPECT_EQ(Get("/other", newPort).Status, 200);
}

// Start-up failures: each leaves the listener closed and says why.
struct StartFailure {
  const char* Name;
  std::function<void(TTestServiceFolder&, std::uint16_t)> Break;
  const char* ErrorText;
  std::vector<std::string> LogLines;
};

void PrintTo(const StartFailure& failure, std::ostream* out) { *out << failure.Name; }

class TdmMainStartFailure : public TdmMainTest, public ::testing::WithParamInterface<StartFailure> {};

TEST_P(TdmMainStartFailure, IsLoggedAndRefused) {
  const StartFailure& failure = GetParam();
  failure.Break(Folder, Port);
  std::string errorText;
  EXPECT_FALSE(Start(errorText));
  std::string expected = failure.ErrorText;
  if (auto at = expected.find("<folder>"); at != std::string::npos) expected.replace(at, 8, Folder.Path());
  EXPECT_EQ(errorText, expected);
  const std::string log = Folder.ErrorLog();
  size_t from = 0;
  for (std::string line : failure.LogLines) {
    if (auto at = line.find("<folder>"); at != std::string::npos) line.replace(at, 8, Folder.Path());
    const size_t found = log.find("\t" + line + "\r\n", from);
    ASSERT_NE(found, std::string::npos) << "missing in order: " << line << "\n" << log;
    from = found;
  }
  EXPECT_FALSE(Get("/Vardex_Login").Connected);
}

void Remove(const TTestServiceFolder& folder, const char* name) { std::filesystem::remove(folder.Path() + name); }

INSTANTIATE_TEST_SUITE_P(
    Cases, TdmMainStartFailure,
    ::testing::Values(
        StartFailure{"NoConfiguration", [](TTestServiceFolder& f, std::uint16_t) { Remove(f, "Vardex.cfg"); }, "",
                     {"Server start cancelled. Configuration file '<folder>Vardex.cfg' was not found."}},
        StartFailure{"NoOpenSSL", [](TTestServiceFolder& f, std::uint16_t) { Remove(f, "openssl"); },
                     "Fatal error: openssl.exe or it's libraries not found in (<folder>).",
                     {"Fatal error: openssl.exe or it's libraries not found in (<folder>)."}},
        StartFailure{"NoCertificateNorKey",
                     [](TTestServiceFolder& f, std::uint16_t) {
                       Remove(f, "Cert/WSScert.pem");
                       Remove(f, "Cert/WSSkey.pem");
                     },
                     "Cert not loaded",
                     {"INFO: Cert\\WSScert.pem", "Fatal SSL certificate error: cannot load Server Certificate.",
                      "Reference: Cert\\WSScert.pem", "INFO: Cert\\WSSkey.pem",
                      "Fatal SSL certificate error: cannot load RSA Key."}},
        StartFailure{"EmptyRoot", [](TTestServiceFolder& f, std::uint16_t) { f.Dir().WriteFile("Cert/CAcert.pem", ""); },
                     "Cert not loaded",
                     {"INFO: Cert\\CAcert.pem", "Fatal SSL certificate error: cannot load Root Certificate."}},
        StartFailure{"KeyWithAnotherPassphrase",
                     [](TTestServiceFolder& f, std::uint16_t) {
                       auto other = testing::WriteTestPki(f.Path() + "Other/", {.KeyPassphrase = "other"});
                       std::filesystem::copy_file(other.Key, f.Path() + "Cert/WSSkey.pem",
                                                  std::filesystem::copy_options::overwrite_existing);
                     },
                     "Cert not loaded",
                     {"INFO: Cert\\WSSkey.pem", "Fatal SSL certificate error: cannot load RSA Key."}},
        StartFailure{"ForeignAuthority",
                     [](TTestServiceFolder& f, std::uint16_t) {
                       auto other = testing::WriteTestPki(f.Path() + "Other/", {.ForeignAuthority = true});
                       std::filesystem::copy_file(other.Certificate, f.Path() + "Cert/WSScert.pem",
                                                  std::filesystem::copy_options::overwrite_existing);
                       std::filesystem::copy_file(other.Key, f.Path() + "Cert/WSSkey.pem",
                                                  std::filesystem::copy_options::overwrite_existing);
                     },
                     "Cert not loaded",
                     {"INFO: validating cert signer",
                      "Fatal Error: The server certificate was not signed by the Root certificate."}},
        StartFailure{"MistypedListenerAddress",
                     [](TTestServiceFolder& f, std::uint16_t port) {
                       std::string config = TestConfiguration(port);
                       config.replace(config.find("127.0.0.1"), 9, "127.0.0.256");
                       f.WriteConfiguration(config);
                     },
                     "",
                     {"Server start cancelled. Error(s) in configuration file '<folder>Vardex.cfg'. Wrong parameter "
                      "'ThisServerIPNumber': '127.0.0.256' is not an IPv4 address."}},
        StartFailure{"CommonNameMismatch",
                     [](TTestServiceFolder& f, std::uint16_t port) {
                       std::string config = TestConfiguration(port);
                       config.replace(config.find("CommonName=localhost"), 20, "CommonName=server.example");
                       f.WriteConfiguration(config);
                     },
                     "Fatal error: Common Name in WSScert.pem (\"localhost\") does not match Common Name in vardex.cfg "
                     "(\"server.example\").",
                     {"Fatal error: Common Name in WSScert.pem (\"localhost\") does not match Common Name in "
                      "vardex.cfg (\"server.example\")."}}),
    [](const ::testing::TestParamInfo<StartFailure>& param) { return param.param.Name; });

TEST_F(TdmMainTest, ACertificateNearItsEndIsReportedOnce) {
  testing::WriteTestPki(Folder.Path() + "Cert/", {.Days = 5});
  StartOrFail();
  const std::string log = Folder.ErrorLog();
  EXPECT_NE(log.find("\tWARNING: the server certificate Cert\\WSScert.pem expires on "), std::string::npos) << log;
  EXPECT_NE(log.find(" (in 5 days); the service cannot start with it after that.\r\n"), std::string::npos) << log;
  EXPECT_EQ(std::count(log.begin(), log.end(), '\n'), 1) << log;
}

TEST_F(TdmMainTest, CommonNameComparisonIgnoresCase) {
  std::string config = TestConfiguration(Port);
  config.replace(config.find("CommonName=localhost"), 20, "CommonName=LOCALHOST");
  Folder.WriteConfiguration(config);
  StartOrFail();
}

TEST_F(TdmMainTest, PortInUseIsLoggedAndTheStartFails) {
  boost::asio::io_context io;
  boost::asio::ip::tcp::acceptor blocker(io, {boost::asio::ip::make_address("127.0.0.1"), Port});
  std::string errorText;
  EXPECT_FALSE(Start(errorText));
  EXPECT_EQ(errorText, "Cannot start HTTPS server.");
  const std::string log = Folder.ErrorLog();
  EXPECT_NE(log.find("\tCannot start HTTPS server. Address already in use\r\n"), std::string::npos) << log;
  EXPECT_NE(log.find("\tssl: libssl.so.3\t"), std::string::npos) << log;
  EXPECT_NE(log.find("\tcrypto: libcrypto.so.3\t"), std::string::npos) << log;
  EXPECT_NE(log.find("\tOpenSSL/Indy incompatibility list: \r\n"), std::string::npos) << log;
}

}  // namespace
}  // namespace kelvane
