#include "KMX_uHTTPSServer.h"
#include "KMX_uTicketKeys.h"

#include <gtest/gtest.h>
#include <openssl/ssl.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <future>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <thread>
#include <vector>

#include "ShellCommand.h"
#include "TempDir.h"
#include "TestHttpsClient.h"
#include "TestPki.h"

namespace kelvane {
namespace {

using namespace std::chrono_literals;
using testing::HttpsExchange;
using testing::MakeRequest;
using testing::THttpsClientOptions;
using testing::TRawConnection;

bool WaitUntil(const std::function<bool()>& condition, std::chrono::milliseconds timeOut) {
  const auto giveUp = std::chrono::steady_clock::now() + timeOut;
  while (!condition()) {
    if (std::chrono::steady_clock::now() > giveUp) return false;
    std::this_thread::sleep_for(10ms);
  }
  return true;
}

class HTTPSServerTest : public ::testing::Test {
 protected:
  HTTPSServerTest() : FFiles(testing::WriteTestPki(FDir.Path() + "Cert")) {
    FTLS = {FFiles.Certificate, FFiles.Key, FFiles.RootCertificate, [] { return std::string("plover"); }};
    FSettings.Address = "127.0.0.1";
    FSettings.Port = 0;
  }

  // Starts the server with the handler the test has set; fails the test when
  // it does not start.
  void StartServer() {
    FServer.emplace([this](const THTTPRequest& request, THTTPResponse& response) {
      {
        std::lock_guard lock(FMutex);
        FRequests.push_back(request);
      }
      FHandler(request, response);
    });
    if (FQuick) FServer->SetQuickHandler(FQuick);
    std::string error;
    ASSERT_TRUE(FServer->Start(FSettings, FTLS, error)) << error;
    ASSERT_NE(FServer->LocalPort(), 0);
  }

  std::uint16_t Port() const { return FServer->LocalPort(); }

  std::vector<THTTPRequest> Requests() {
    std::lock_guard lock(FMutex);
    return FRequests;
  }

  THttpsClientOptions Verified() const {
    THttpsClientOptions options;
    options.RootCertificateFile = FFiles.RootCertificate;
    return options;
  }

  // curl against the server, verifying its certificate for "localhost".
  std::string Curl(const std::string& arguments, const std::string& path) {
    const std::string port = std::to_string(Port());
    return testing::ShellOutput("curl -sS -i --max-time 20 --cacert '" + FFiles.RootCertificate + "' --resolve localhost:" + port +
                      ":127.0.0.1 " + arguments + " 'https://localhost:" + port + path + "' 2>&1");
  }

  testing::TempDir FDir;
  testing::TTestPkiFiles FFiles;
  TTLSServerFiles FTLS;
  THTTPSServerSettings FSettings;
  std::function<void(const THTTPRequest&, THTTPResponse&)> FHandler = [](const THTTPRequest&, THTTPResponse& response) {
    response.Body = "<html>page</html>";
  };
  THTTPQuickHandler FQuick;
  std::mutex FMutex;
  std::vector<THTTPRequest> FRequests;
  std::optional<THTTPSServer> FServer;
};

TEST_F(HTTPSServerTest, PostFromCurlReachesTheHandlerWithBodyFieldsBeforeQueryFields) {
  FHandler = [](const THTTPRequest&, THTTPResponse& response) { response.Body = "confirmed \xE9"; };
  StartServer();
  const std::string output =
      Curl("--data 'userName=body+name&Password=p%41ss&Action=Reboot&USERNAME=second'",
           "/Result_Vardex_Login?UserName=query&Extra=%zz");
  EXPECT_NE(output.find("HTTP/1.1 200 OK"), std::string::npos) << output;
  EXPECT_NE(output.find("Content-Type: text/html; charset=ISO-8859-1"), std::string::npos) << output;
  EXPECT_NE(output.find("Connection: close"), std::string::npos) << output;
  EXPECT_NE(output.find("\r\n\r\nconfirmed \xE9"), std::string::npos) << output;

  const std::vector<THTTPRequest> requests = Requests();
  ASSERT_EQ(requests.size(), 1u);
  const THTTPRequest& request = requests[0];
  EXPECT_EQ(request.Method, THTTPMethod::Post);
  EXPECT_EQ(request.Document, "/Result_Vardex_Login");
  EXPECT_EQ(request.PeerAddress, "127.0.0.1");
  EXPECT_EQ(request.Field("username"), "body name");
  EXPECT_EQ(request.Field("PASSWORD"), "pAss");
  EXPECT_EQ(request.Field("Action"), "Reboot");
  EXPECT_EQ(request.Field("extra"), "%zz");
  ASSERT_EQ(request.Fields.size(), 6u);
  EXPECT_EQ(request.Fields[4], (std::pair<std::string, std::string>("UserName", "query")));
}

TEST_F(HTTPSServerTest, GetAndHeadReachTheHandlerAndHeadGetsNoBody) {
  StartServer();
  const std::string get = Curl("", "/Some%20Path?Action=Reboot&UserName=a+b");
  EXPECT_NE(get.find("\r\n\r\n<html>page</html>"), std::string::npos) << get;
  const std::string head = Curl("--head", "/Vardex_Login");
  EXPECT_NE(head.find("HTTP/1.1 200 OK"), std::string::npos) << head;
  EXPECT_NE(head.find("Content-Length: 17"), std::string::npos) << head;
  EXPECT_EQ(head.find("<html>"), std::string::npos) << head;

  const std::vector<THTTPRequest> requests = Requests();
  ASSERT_EQ(requests.size(), 2u);
  EXPECT_EQ(requests[0].Method, THTTPMethod::Get);
  EXPECT_EQ(requests[0].Document, "/Some Path");
  EXPECT_EQ(requests[0].Field("action"), "Reboot");
  EXPECT_EQ(requests[0].Field("UserName"), "a b");
  EXPECT_EQ(requests[1].Method, THTTPMethod::Head);
  EXPECT_EQ(requests[1].Document, "/Vardex_Login");
}

TEST_F(HTTPSServerTest, BodyOfAnotherContentTypeGivesNoFields) {
  StartServer();
  const testing::THttpsReply reply = HttpsExchange(
      Port(),
      "POST /x?Action=Reboot HTTP/1.1\r\nHost: localhost\r\nContent-Type: text/plain\r\nContent-Length: 13\r\n\r\n"
      "UserName=body",
      Verified());
  ASSERT_EQ(reply.Status, 200) << reply.Error;
  const std::vector<THTTPRequest> requests = Requests();
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(requests[0].Field("UserName"), "");
  EXPECT_EQ(requests[0].Field("Action"), "Reboot");
}

TEST_F(HTTPSServerTest, TenThousandFieldsAndANulByteArriveIntact) {
  StartServer();
  std::string body = "UserName=nul%00inside";
  for (int i = 0; i < 10000; ++i) body += "&x=" + std::to_string(i % 10);
  const testing::THttpsReply reply = HttpsExchange(Port(), MakeRequest("POST", "/x", body), Verified());
  ASSERT_EQ(reply.Status, 200) << reply.Error;
  const std::vector<THTTPRequest> requests = Requests();
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(requests[0].Fields.size(), 10001u);
  EXPECT_EQ(requests[0].Field("UserName"), std::string("nul\0inside", 10));
  EXPECT_EQ(requests[0].Field("X"), "0");
  EXPECT_EQ(requests[0].Fields.back().second, "9");
}

TEST_F(HTTPSServerTest, ClientAskingToContinueSendsItsBodyAndIsServed) {
  StartServer();
  const std::string output = Curl("-H 'Expect: 100-continue' --data 'Action=Reload+Configuration'", "/x");
  EXPECT_NE(output.find("HTTP/1.1 200 OK"), std::string::npos) << output;
  const std::vector<THTTPRequest> requests = Requests();
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(requests[0].Field("Action"), "Reload Configuration");
}

TEST_F(HTTPSServerTest, EmptyResponseIsStatus200WithLengthZero) {
  FHandler = [](const THTTPRequest&, THTTPResponse&) {};
  StartServer();
  const testing::THttpsReply reply = HttpsExchange(Port(), MakeRequest("GET", "/favicon.ico"), Verified());
  EXPECT_EQ(reply.Status, 200) << reply.Error;
  EXPECT_EQ(reply.Header("Content-Length"), "0");
  EXPECT_EQ(reply.Body, "");
}

TEST_F(HTTPSServerTest, HandlerExceptionIsAnswered500WithAGenericTextAndItsMessageGoesToTheSink) {
  FHandler = [](const THTTPRequest&, THTTPResponse& response) {
    response.Body = "half done";
    throw std::runtime_error("Cannot open file \"/opt/kelvane/Web/KMX_Confirm.html\"");
  };
  std::mutex sunk;
  std::vector<std::string> messages;
  FSettings.ErrorSink = [&](std::string_view message) {
    std::lock_guard lock(sunk);
    messages.emplace_back(message);
  };
  StartServer();
  const testing::THttpsReply reply = HttpsExchange(Port(), MakeRequest("GET", "/x"), Verified());
  EXPECT_EQ(reply.Status, 500) << reply.Error;
  EXPECT_EQ(reply.Body, "Internal server error.");
  std::lock_guard lock(sunk);
  EXPECT_EQ(messages, std::vector<std::string>{"Cannot open file \"/opt/kelvane/Web/KMX_Confirm.html\""});
}

TEST_F(HTTPSServerTest, HTMLAnswersCarryTheBrowserProtectionsAndHandlerHeadersGoOut) {
  FHandler = [](const THTTPRequest& request, THTTPResponse& response) {
    if (request.Document == "/text") response.ContentType = "text/plain";
    response.StatusCode = 429;
    response.Headers.emplace_back("Retry-After", "17");
    response.Headers.emplace_back("X-Odd", "a\r\nSet-Cookie: b");
    response.Body = "<html>page</html>";
  };
  StartServer();
  const testing::THttpsReply html = HttpsExchange(Port(), MakeRequest("GET", "/page"), Verified());
  EXPECT_EQ(html.Status, 429) << html.Error;
  EXPECT_EQ(html.Header("Retry-After"), "17");
  EXPECT_EQ(html.Header("X-Odd"), "a  Set-Cookie: b");
  EXPECT_EQ(html.Header("Set-Cookie"), "");
  const std::pair<const char*, const char*> expected[] = {
      {"X-Frame-Options", "DENY"},
      {"Strict-Transport-Security", "max-age=31536000"},
      {"Cache-Control", "no-store"},
      {"Referrer-Policy", "no-referrer"},
      {"X-Content-Type-Options", "nosniff"},
  };
  for (const auto& [name, value] : expected) EXPECT_EQ(html.Header(name), value) << name;
  const std::string policy = html.Header("Content-Security-Policy");
  for (const char* part : {"default-src 'none'", "frame-ancestors 'none'", "form-action 'self'"}) {
    EXPECT_NE(policy.find(part), std::string::npos) << policy;
  }
  const testing::THttpsReply text = HttpsExchange(Port(), MakeRequest("GET", "/text"), Verified());
  EXPECT_EQ(text.Header("Retry-After"), "17");
  EXPECT_EQ(text.Header("X-Frame-Options"), "");
}

TEST_F(HTTPSServerTest, AHeldAnswerWaitsWithoutHoldingAHandlerThread) {
  FSettings.MaxHandlerThreads = 1;
  FHandler = [](const THTTPRequest& request, THTTPResponse& response) {
    if (request.Document == "/held") response.HoldUntil = std::chrono::steady_clock::now() + 1500ms;
    response.Body = request.Document;
  };
  StartServer();
  const auto start = std::chrono::steady_clock::now();
  auto held = std::async(std::launch::async,
                         [this] { return HttpsExchange(Port(), MakeRequest("GET", "/held"), Verified()); });
  ASSERT_TRUE(WaitUntil([this] { return Requests().size() == 1; }, 5s));
  // The one handler thread is free again: another request is served at once.
  EXPECT_EQ(HttpsExchange(Port(), MakeRequest("GET", "/free"), Verified()).Body, "/free");
  EXPECT_EQ(held.wait_for(0s), std::future_status::timeout);
  EXPECT_EQ(held.get().Body, "/held");
  EXPECT_GE(std::chrono::steady_clock::now() - start, 1500ms);
}

TEST_F(HTTPSServerTest, AClientThatDoesNotTakeItsAnswerIsDropped) {
  FSettings.RequestTimeOut = 1s;
  std::promise<void> gone;
  FHandler = [&gone](const THTTPRequest&, THTTPResponse& response) {
    response.Body.assign(64 * 1024 * 1024, 'x');
    response.AfterSent = [&gone] { gone.set_value(); };
  };
  StartServer();
  // The openssl program sends the request and then blocks writing the answer
  // to a pipe nobody reads, so it stops reading from the connection.
  const std::string command = "printf 'GET /x HTTP/1.1\\r\\nHost: a\\r\\n\\r\\n' | openssl s_client -quiet -connect 127.0.0.1:" +
                              std::to_string(Port()) + " 2>/dev/null";
  FILE* reader = ::popen(command.c_str(), "r");
  ASSERT_NE(reader, nullptr);
  EXPECT_EQ(gone.get_future().wait_for(20s), std::future_status::ready);
  ::pclose(reader);
}

TEST_F(HTTPSServerTest, AClientThatLeavesDuringItsAnswerCostsNoSignal) {
  // SIGPIPE at its default (ending the process), as in the service; the test
  // clients want it ignored again afterwards.
  struct TDefaultPipeSignal {
    TDefaultPipeSignal() { ::signal(SIGPIPE, SIG_DFL); }
    ~TDefaultPipeSignal() { ::signal(SIGPIPE, SIG_IGN); }
  } defaultPipeSignal;
  std::promise<void> gone;
  FHandler = [&gone](const THTTPRequest& request, THTTPResponse& response) {
    if (request.Document != "/big") return;
    response.Body.assign(64 * 1024 * 1024, 'x');
    response.AfterSent = [&gone] { gone.set_value(); };
  };
  StartServer();
  // head ends after the first bytes; openssl dies writing to it and the
  // connection goes with most of the answer unread.
  testing::ShellOutput("printf 'GET /big HTTP/1.1\\r\\nHost: a\\r\\n\\r\\n' | openssl s_client -quiet -connect 127.0.0.1:" +
                       std::to_string(Port()) + " 2>/dev/null | head -c 10 >/dev/null");
  EXPECT_EQ(gone.get_future().wait_for(20s), std::future_status::ready);
  EXPECT_EQ(HttpsExchange(Port(), MakeRequest("GET", "/next"), Verified()).Status, 200);
}

TEST_F(HTTPSServerTest, RequestsTheServerRefusesNeverReachTheHandler) {
  FSettings.BodyLimit = 64 * 1024;
  FSettings.HeaderLimit = 8 * 1024;
  StartServer();
  struct TCase {
    const char* Name;
    std::string Request;
    int Status;
  };
  const std::string bigBody = "Action=" + std::string(100 * 1024, 'x');
  const TCase cases[] = {
      {"body of 100 KiB", MakeRequest("POST", "/x", bigBody), 413},
      {"declared length over the limit",
       "POST /x HTTP/1.1\r\nHost: a\r\nContent-Length: 10000000\r\nContent-Type: application/x-www-form-urlencoded\r\n\r\n",
       413},
      {"chunked body over the limit",
       "POST /x HTTP/1.1\r\nHost: a\r\nTransfer-Encoding: chunked\r\n\r\n20000\r\n" + std::string(0x20000, 'y') +
           "\r\n0\r\n\r\n",
       413},
      {"header line of 20 KiB", "GET /x HTTP/1.1\r\nHost: a\r\nX-Long: " + std::string(20 * 1024, 'z') + "\r\n\r\n", 431},
      {"other method", MakeRequest("DELETE", "/x"), 405},
      {"unknown transfer coding", "POST /x HTTP/1.1\r\nHost: a\r\nTransfer-Encoding: gzip\r\nContent-Length: 8\r\n\r\nAction=x", 501},
      {"unknown coding before chunked",
       "POST /x HTTP/1.1\r\nHost: a\r\nTransfer-Encoding: gzip, chunked\r\n\r\n8\r\nAction=x\r\n0\r\n\r\n", 501},
      {"chunked twice",
       "POST /x HTTP/1.1\r\nHost: a\r\nTransfer-Encoding: chunked, chunked\r\n\r\n8\r\nAction=x\r\n0\r\n\r\n", 400},
      {"not HTTP", std::string("\x01\x02 garbage\r\n\r\n"), 400},
  };
  for (const TCase& c : cases) {
    const testing::THttpsReply reply = HttpsExchange(Port(), c.Request, Verified());
    EXPECT_EQ(reply.Status, c.Status) << c.Name << ": " << reply.Error;
  }
  EXPECT_TRUE(Requests().empty());
  // The server is still fine afterwards.
  EXPECT_EQ(HttpsExchange(Port(), MakeRequest("GET", "/x"), Verified()).Status, 200);
}

TEST_F(HTTPSServerTest, OnlyTLS12AndNewerAreAccepted) {
  StartServer();
  THttpsClientOptions old = Verified();
  old.MaxProtocolVersion = TLS1_1_VERSION;
  const testing::THttpsReply refused = HttpsExchange(Port(), MakeRequest("GET", "/x"), old);
  EXPECT_FALSE(refused.Connected);
  EXPECT_NE(refused.Error.find("protocol"), std::string::npos) << refused.Error;

  THttpsClientOptions tls12 = Verified();
  tls12.MaxProtocolVersion = TLS1_2_VERSION;
  EXPECT_EQ(HttpsExchange(Port(), MakeRequest("GET", "/x"), tls12).Status, 200);
  EXPECT_EQ(HttpsExchange(Port(), MakeRequest("GET", "/x"), Verified()).Status, 200);
}

TEST_F(HTTPSServerTest, PlainHTTPToTheTLSPortIsClosed) {
  StartServer();
  TRawConnection plain(Port());
  ASSERT_TRUE(plain.Connected());
  ASSERT_TRUE(plain.Send(MakeRequest("GET", "/Vardex_Login")));
  EXPECT_TRUE(plain.WaitForClose(5s));
  EXPECT_TRUE(Requests().empty());
  EXPECT_EQ(HttpsExchange(Port(), MakeRequest("GET", "/x"), Verified()).Status, 200);
}

TEST_F(HTTPSServerTest, StalledHandshakeIsDroppedAfterTheTimeOutWhileOthersAreServed) {
  FSettings.RequestTimeOut = 500ms;
  StartServer();
  TRawConnection silent(Port());
  TRawConnection halfHello(Port());
  ASSERT_TRUE(silent.Connected());
  ASSERT_TRUE(halfHello.Send(std::string("\x16\x03\x01\x02\x00\x01\x00\x01\xfc\x03\x03", 11)));
  EXPECT_EQ(HttpsExchange(Port(), MakeRequest("GET", "/x"), Verified()).Status, 200);
  EXPECT_TRUE(silent.WaitForClose(5s));
  EXPECT_TRUE(halfHello.WaitForClose(5s));
}

TEST_F(HTTPSServerTest, ConnectedClientThatNeverSendsItsRequestIsDropped) {
  FSettings.RequestTimeOut = 500ms;
  StartServer();
  // The request is cut short: the server must not wait for the rest forever.
  const testing::THttpsReply reply =
      HttpsExchange(Port(), "POST /x HTTP/1.1\r\nHost: a\r\nContent-Length: 100\r\n\r\nAction=", Verified());
  EXPECT_TRUE(reply.Connected);
  EXPECT_EQ(reply.Status, 0);
  EXPECT_TRUE(Requests().empty());
}

TEST_F(HTTPSServerTest, WhenFullTheOldestIdleConnectionsMakeRoomForNewClients) {
  FSettings.MaxConnections = 4;
  StartServer();
  std::vector<std::unique_ptr<TRawConnection>> idle;
  for (int i = 0; i < 10; ++i) {
    idle.push_back(std::make_unique<TRawConnection>(Port()));
    ASSERT_TRUE(idle.back()->Connected());
  }
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(HttpsExchange(Port(), MakeRequest("GET", "/x"), Verified()).Status, 200);
  }
  EXPECT_TRUE(idle.front()->WaitForClose(5s));
}

// The server runs in a child process with a low open-file limit. Out of
// descriptors, every accept would wait for an idle connection to go; with the
// cap below the limit, a flood of idle connections only costs evictions.
TEST_F(HTTPSServerTest, AtALowOpenFileLimitTheCapHoldsBeforeDescriptorsRunOut) {
  int channel[2];
  ASSERT_EQ(::pipe(channel), 0);
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    ::close(channel[0]);
    // The service holds more open files than this test process: stand-ins.
    for (int i = 0; i < 28; ++i) {
      if (::open("/dev/null", O_RDONLY) < 0) ::_exit(2);
    }
    const rlimit low{64, 64};
    if (::setrlimit(RLIMIT_NOFILE, &low) != 0) ::_exit(2);
    THTTPSServer server([](const THTTPRequest&, THTTPResponse& response) { response.Body = "ok"; });
    std::string error;
    if (!server.Start(FSettings, FTLS, error)) ::_exit(3);
    const std::uint16_t port = server.LocalPort();
    if (::write(channel[1], &port, sizeof port) != sizeof port) ::_exit(4);
    ::sleep(60);
    ::_exit(0);
  }
  ::close(channel[1]);
  std::uint16_t port = 0;
  const bool started = ::read(channel[0], &port, sizeof port) == sizeof port;
  ::close(channel[0]);
  if (started) {
    std::vector<std::unique_ptr<TRawConnection>> idle;
    for (int i = 0; i < 300; ++i) idle.push_back(std::make_unique<TRawConnection>(port));
    // Connections still waiting in the backlog would push a new client out
    // as idle before its handshake: the server takes them all first, each
    // pushing out the oldest (out of descriptors, each would wait instead).
    EXPECT_TRUE(idle[280]->WaitForClose(10s));
    THttpsClientOptions options = Verified();
    options.TimeOut = 5s;
    const testing::THttpsReply reply = HttpsExchange(port, MakeRequest("GET", "/x"), options);
    EXPECT_EQ(reply.Status, 200) << reply.Error;
    EXPECT_EQ(reply.Body, "ok");
  }
  ::kill(child, SIGKILL);
  int status = 0;
  ::waitpid(child, &status, 0);
  EXPECT_TRUE(started) << "the server did not start at the low limit, status " << status;
}

TEST_F(HTTPSServerTest, SessionTimeOutEndsAConnectionWhoseHandlerTakesTooLong) {
  FSettings.SessionTimeOut = 300ms;
  FHandler = [](const THTTPRequest&, THTTPResponse& response) {
    std::this_thread::sleep_for(600ms);
    response.Body = "late";
  };
  StartServer();
  const testing::THttpsReply reply = HttpsExchange(Port(), MakeRequest("GET", "/x"), Verified());
  EXPECT_TRUE(reply.Connected);
  EXPECT_EQ(reply.Status, 0);
}

TEST_F(HTTPSServerTest, PortAlreadyInUseIsReportedWithTheSocketError) {
  StartServer();
  THTTPSServer second([](const THTTPRequest&, THTTPResponse&) {});
  THTTPSServerSettings settings = FSettings;
  settings.Port = Port();
  std::string error;
  EXPECT_FALSE(second.Start(settings, FTLS, error));
  EXPECT_EQ(error, "Address already in use");
  EXPECT_FALSE(second.Active());
  EXPECT_EQ(second.LocalPort(), 0);
}

TEST_F(HTTPSServerTest, StartFailuresNameTheirCause) {
  struct TCase {
    const char* Name;
    std::function<void(THTTPSServerSettings&, TTLSServerFiles&)> Change;
    const char* Expected;
  };
  const TCase cases[] = {
      {"wrong passphrase", [](auto&, TTLSServerFiles& tls) { tls.GetPassword = [] { return std::string("wrong"); }; },
       "Cannot load the private key file"},
      {"no passphrase source", [](auto&, TTLSServerFiles& tls) { tls.GetPassword = nullptr; },
       "Cannot load the private key file"},
      {"missing certificate", [](auto&, TTLSServerFiles& tls) { tls.CertificateFile += ".missing"; },
       "Cannot load the certificate file"},
      {"missing root", [](auto&, TTLSServerFiles& tls) { tls.RootCertificateFile += ".missing"; },
       "Cannot load the root certificate file"},
      {"bad address", [](THTTPSServerSettings& settings, auto&) { settings.Address = "300.1.2.3"; },
       "'300.1.2.3' is not a valid IP address."},
      {"foreign address", [](THTTPSServerSettings& settings, auto&) { settings.Address = "192.0.2.1"; },
       "Cannot assign requested address"},
  };
  for (const TCase& c : cases) {
    THTTPSServerSettings settings = FSettings;
    TTLSServerFiles tls = FTLS;
    c.Change(settings, tls);
    THTTPSServer server([](const THTTPRequest&, THTTPResponse&) {});
    std::string error;
    EXPECT_FALSE(server.Start(settings, tls, error)) << c.Name;
    EXPECT_NE(error.find(c.Expected), std::string::npos) << c.Name << ": " << error;
    EXPECT_FALSE(server.Active()) << c.Name;
  }
}

TEST_F(HTTPSServerTest, EmptyAddressListensOnAllLocalAddresses) {
  FSettings.Address = "";
  StartServer();
  EXPECT_EQ(HttpsExchange(Port(), MakeRequest("GET", "/x"), Verified()).Status, 200);
}

// A handler that blocks until the test lets it go.
struct TGate {
  std::mutex Mutex;
  std::condition_variable Changed;
  bool Entered = false;
  bool Open = false;
  std::atomic<bool> Finished{false};

  void Pass(std::chrono::milliseconds limit) {
    std::unique_lock lock(Mutex);
    Entered = true;
    Changed.notify_all();
    Changed.wait_for(lock, limit, [this] { return Open; });
    Finished = true;
  }
  void WaitEntered() {
    std::unique_lock lock(Mutex);
    Changed.wait_for(lock, 10s, [this] { return Entered; });
  }
  void Release() {
    std::lock_guard lock(Mutex);
    Open = true;
    Changed.notify_all();
  }
};

TEST_F(HTTPSServerTest, StopWaitsForARunningHandlerToEnd) {
  FSettings.TerminateWaitTime = 10s;
  TGate gate;
  FHandler = [&](const THTTPRequest&, THTTPResponse&) { gate.Pass(300ms); };
  StartServer();
  auto client = std::async(std::launch::async, [&] { return HttpsExchange(Port(), MakeRequest("GET", "/x")); });
  gate.WaitEntered();
  FServer->Stop();
  EXPECT_TRUE(gate.Finished);
  EXPECT_FALSE(FServer->Active());
  client.get();
}

TEST_F(HTTPSServerTest, StopGivesUpWaitingAfterTheTerminateWaitTime) {
  FSettings.TerminateWaitTime = 200ms;
  TGate gate;
  FHandler = [&](const THTTPRequest&, THTTPResponse&) { gate.Pass(30s); };
  StartServer();
  auto client = std::async(std::launch::async, [&] { return HttpsExchange(Port(), MakeRequest("GET", "/x")); });
  gate.WaitEntered();
  FServer->Stop();
  EXPECT_FALSE(gate.Finished);
  // The connection was closed under the handler: its answer goes nowhere.
  EXPECT_EQ(client.get().Status, 0);
  gate.Release();
  FServer.reset();
  EXPECT_TRUE(gate.Finished);
}

TEST_F(HTTPSServerTest, HandlerCanRestartTheListenerAfterItsResponseIsSent) {
  FSettings.TerminateWaitTime = 10s;
  std::promise<void> answerArrived;
  std::shared_future<void> answerSeen = answerArrived.get_future().share();
  std::promise<std::uint16_t> newPort;
  std::thread::id handlerThread;
  std::thread::id restartThread;
  std::chrono::steady_clock::duration stopTook{};
  FHandler = [&](const THTTPRequest& request, THTTPResponse& response) {
    if (request.Document != "/move") return;
    handlerThread = std::this_thread::get_id();
    response.Body = "moving";
    response.AfterSent = [&] {
      restartThread = std::this_thread::get_id();
      // The browser must have its answer before the listener goes away.
      const bool arrived = answerSeen.wait_for(10s) == std::future_status::ready;
      const auto start = std::chrono::steady_clock::now();
      FServer->Stop();
      stopTook = std::chrono::steady_clock::now() - start;
      THTTPSServerSettings moved = FSettings;
      moved.Port = 0;
      std::string error;
      const bool started = FServer->Start(moved, FTLS, error);
      newPort.set_value(arrived && started ? FServer->LocalPort() : 0);
    };
  };
  StartServer();
  const std::uint16_t oldPort = Port();
  const testing::THttpsReply reply = HttpsExchange(oldPort, MakeRequest("POST", "/move", "Action=Reload"), Verified());
  answerArrived.set_value();
  EXPECT_EQ(reply.Status, 200) << reply.Error;
  EXPECT_EQ(reply.Body, "moving");

  auto port = newPort.get_future();
  ASSERT_EQ(port.wait_for(20s), std::future_status::ready);
  const std::uint16_t movedTo = port.get();
  ASSERT_NE(movedTo, 0);
  EXPECT_EQ(restartThread, handlerThread);
  // Stop did not wait for the restarting request's own connection.
  EXPECT_LT(stopTook, 5s);
  EXPECT_EQ(HttpsExchange(movedTo, MakeRequest("GET", "/x"), Verified()).Status, 200);
  if (movedTo != oldPort) {
    EXPECT_FALSE(HttpsExchange(oldPort, MakeRequest("GET", "/x")).Connected);
  }
}

TEST_F(HTTPSServerTest, ManyConcurrentClientsAreAllServed) {
  FHandler = [](const THTTPRequest& request, THTTPResponse& response) { response.Body = request.Field("n"); };
  StartServer();
  std::vector<std::future<testing::THttpsReply>> clients;
  for (int i = 0; i < 40; ++i) {
    clients.push_back(std::async(std::launch::async, [this, i] {
      return HttpsExchange(Port(), MakeRequest("GET", "/x?n=" + std::to_string(i)), Verified());
    }));
  }
  for (int i = 0; i < 40; ++i) {
    const testing::THttpsReply reply = clients[i].get();
    EXPECT_EQ(reply.Status, 200) << reply.Error;
    EXPECT_EQ(reply.Body, std::to_string(i));
  }
}

TEST_F(HTTPSServerTest, QuickAnswersLeaveWhileEveryHandlerThreadIsBusy) {
  FSettings.MaxHandlerThreads = 1;
  std::string sunk;
  FSettings.ErrorSink = [&sunk](std::string_view message) { sunk = message; };
  std::promise<void> release;
  std::shared_future<void> released = release.get_future().share();
  FHandler = [released](const THTTPRequest& request, THTTPResponse& response) {
    if (request.Document == "/slow") released.wait();
    response.Body = "handler " + request.Document;
  };
  FQuick = [](const THTTPRequest& request, THTTPResponse& response) {
    if (request.Document == "/throw") throw std::runtime_error("quick failure");
    if (request.Document != "/quick") return false;
    response.Body = "quick";
    response.Headers.emplace_back("X-Quick", request.PeerAddress);
    return true;
  };
  StartServer();
  auto slow = std::async(std::launch::async,
                         [this] { return HttpsExchange(Port(), MakeRequest("GET", "/slow"), Verified()); });
  ASSERT_TRUE(WaitUntil([this] { return Requests().size() == 1; }, 5s));
  // The only handler thread is taken, yet the quick answers come.
  const testing::THttpsReply quick = HttpsExchange(Port(), MakeRequest("GET", "/quick"), Verified());
  EXPECT_EQ(quick.Body, "quick");
  EXPECT_EQ(quick.Header("X-Quick"), "127.0.0.1");
  const testing::THttpsReply failed = HttpsExchange(Port(), MakeRequest("GET", "/throw"), Verified());
  EXPECT_EQ(failed.Status, 500);
  EXPECT_EQ(failed.Body, "Internal server error.");
  EXPECT_EQ(sunk, "quick failure");
  release.set_value();
  EXPECT_EQ(slow.get().Body, "handler /slow");
  // What the quick handler leaves reaches the handler.
  EXPECT_EQ(HttpsExchange(Port(), MakeRequest("GET", "/other"), Verified()).Body, "handler /other");
  EXPECT_EQ(Requests().size(), 2u);
}

TEST_F(HTTPSServerTest, ARequestArrivingInPiecesIsReadWhole) {
  FHandler = [](const THTTPRequest& request, THTTPResponse& response) {
    response.Body = request.Document + " " + request.Field("a");
  };
  StartServer();
  // openssl sends each piece of its input in a record of its own.
  const std::string reply = testing::ShellOutput(
      "(printf 'POST /pie'; sleep 0.3; printf 'ces HTTP/1.1\\r\\nHost: a\\r\\nContent-Type: "
      "application/x-www-form-urlencoded\\r\\nContent-Length: 3\\r\\n'; sleep 0.3; printf '\\r\\na'; "
      "sleep 0.3; printf '=1'; sleep 2) | openssl s_client -quiet -connect 127.0.0.1:" +
      std::to_string(Port()) + " 2>/dev/null");
  EXPECT_NE(reply.find("HTTP/1.1 200 OK"), std::string::npos) << reply;
  EXPECT_NE(reply.find("/pieces 1"), std::string::npos) << reply;
}

TEST_F(HTTPSServerTest, ReturningClientsResumeTheirSessionWithATicket) {
  StartServer();
  for (const std::string version : {"-tls1_2", "-tls1_3"}) {
    const std::string session = FDir.Path() + "session" + version;
    const auto run = [&](const std::string& sessionSwitches) {
      return testing::ShellOutput("printf 'GET / HTTP/1.1\\r\\nHost: a\\r\\n\\r\\n' | openssl s_client " +
                                  version + " -ign_eof " + sessionSwitches + " -connect 127.0.0.1:" +
                                  std::to_string(Port()) + " 2>&1");
    };
    const std::string first = run("-sess_out '" + session + "0'");
    EXPECT_NE(first.find("<html>page</html>"), std::string::npos) << first;
    EXPECT_NE(first.find("\nNew, "), std::string::npos) << first;
    // A TLS 1.2 ticket may serve again; a TLS 1.3 ticket serves once, so
    // there each run offers the session the run before was given, and a
    // resumed connection must hand over a new ticket.
    for (int round = 1; round <= 2; ++round) {
      const int offered = version == "-tls1_3" ? round - 1 : 0;
      const std::string next = run("-sess_in '" + session + std::to_string(offered) + "' -sess_out '" + session +
                                   std::to_string(round) + "'");
      EXPECT_NE(next.find("<html>page</html>"), std::string::npos) << next;
      EXPECT_NE(next.find("\nReused, "), std::string::npos) << version << " round " << round << ": " << next;
    }
  }
}

TEST(TicketKeysTest, AKeyServesOnePeriodSealingAndOneMoreOpening) {
  auto now = std::chrono::steady_clock::time_point{} + 1000h;
  TTicketKeys keys([&now] { return now; });
  TTicketKeys::TKey first, key;
  ASSERT_TRUE(keys.Current(first));
  EXPECT_EQ(keys.Find(first.Name.data(), key), TTicketKeys::TFound::Current);
  EXPECT_EQ(key.CipherKey, first.CipherKey);
  EXPECT_EQ(key.MacKey, first.MacKey);

  now += TicketKeyRotation - 1s;
  ASSERT_TRUE(keys.Current(key));
  EXPECT_EQ(key.Name, first.Name);

  // A new key seals; tickets under the old one are still good, and renewed.
  now += 1s;
  TTicketKeys::TKey second;
  ASSERT_TRUE(keys.Current(second));
  EXPECT_NE(second.Name, first.Name);
  EXPECT_NE(second.CipherKey, first.CipherKey);
  EXPECT_EQ(keys.Find(first.Name.data(), key), TTicketKeys::TFound::Previous);
  EXPECT_EQ(key.CipherKey, first.CipherKey);

  // One more period: the first key opens nothing any more, even without a
  // ticket sealed in between.
  now += TicketKeyRotation;
  EXPECT_EQ(keys.Find(first.Name.data(), key), TTicketKeys::TFound::None);
  EXPECT_EQ(keys.Find(second.Name.data(), key), TTicketKeys::TFound::Previous);

  // After a long pause no old key is left at all.
  now += 3 * TicketKeyRotation;
  EXPECT_EQ(keys.Find(second.Name.data(), key), TTicketKeys::TFound::None);
}

}  // namespace
}  // namespace kelvane
