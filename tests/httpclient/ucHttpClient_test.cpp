#include "ucHttpClient.h"

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <utility>
#include <vector>

#include "LoopbackHttpServer.h"
#include "TempDir.h"

namespace kelvane {
namespace {

using testing::TLoopbackHttpServer;
using testing::TServerScript;

const std::string OkAnswer = "HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\n\r\nsigned";

TServerScript Answering(std::vector<std::string> pieces) {
  TServerScript script;
  script.Pieces = std::move(pieces);
  return script;
}

// Every state report and advisory of a client.
struct TAdviseLog {
  std::vector<std::pair<TTelnetState, std::string>> Entries;

  explicit TAdviseLog(THttpClient& client) {
    client.OnAdvise = [this](TTelnetClient&, TTelnetState state, const std::string& text) {
      Entries.emplace_back(state, text);
    };
  }
  bool Contains(TTelnetState state, const std::string& text) const {
    for (const auto& entry : Entries) {
      if (entry.first == state && entry.second == text) {
        return true;
      }
    }
    return false;
  }
};

std::string LoopbackUrl(std::uint16_t port, const std::string& path) {
  return "http://127.0.0.1:" + std::to_string(port) + path;
}

// ---------------------------------------------------------------------------
// The request on the wire

TEST(THttpClientWireTest, CertificatePostIsSentByteForByte) {
  TLoopbackHttpServer server(Answering({OkAnswer}));
  THttpClient http;
  TAdviseLog advice(http);
  http.Protocol = "HTTP/1.1";
  http.Headers = {"User-Agent: Tessmar v4.5.0.8\r\nCache-Control: no-cache,max-stale=0\r\n"};
  http.WaitMS = 10000;
  http.SetURL(LoopbackUrl(server.Port(), "/ca/sign.dll?x=1"));
  http.SetRequest("POST /ca/sign.dll?x=1");
  http.StringVars = {
      "CertReq=-----BEGIN CERTIFICATE REQUEST-----{*}MIIB{P}a/Z=={*}-----END CERTIFICATE REQUEST-----{*}",
      "LocalNow=45123.5416666667",
      "LocalTimeZoneBias=-60",
      "UserEMail=a.b-c@example.com",
  };
  http.Execute();

  const std::string body =
      "CertReq=%2D%2D%2D%2D%2DBEGIN+CERTIFICATE+REQUEST%2D%2D%2D%2D%2D%7B%2A%7DMIIB%7BP%7Da/Z%3D%3D%7B%2A%7D"
      "%2D%2D%2D%2D%2DEND+CERTIFICATE+REQUEST%2D%2D%2D%2D%2D%7B%2A%7D"
      "&LocalNow=45123%2E5416666667&LocalTimeZoneBias=%2D60&UserEMail=a%2Eb%2Dc%40example%2Ecom";
  const std::string expected =
      "POST /ca/sign.dll?x=1 HTTP/1.1\r\n"
      "Connection: close\r\n"
      "User-Agent: Tessmar v4.5.0.8\r\n"
      "Cache-Control: no-cache,max-stale=0\r\n"
      "Host: 127.0.0.1\r\n"
      "Content-Type: application/x-www-form-urlencoded\r\n"
      "Content-length: " + std::to_string(body.size()) + "\r\n"
      "\r\n" + body + "\r\n\r\n";
  EXPECT_EQ(server.Received(), expected);

  EXPECT_EQ(http.TelnetStatus(), telReady);
  EXPECT_EQ(http.ReturnCode(), "200 OK");
  EXPECT_EQ(http.Response(), OkAnswer);
  std::vector<TTelnetState> states;
  for (const auto& entry : advice.Entries) {
    states.push_back(entry.first);
  }
  EXPECT_EQ(states, (std::vector<TTelnetState> {telBusy, telServerConnected, telDisconnect, telReady}));
  EXPECT_TRUE(advice.Contains(telServerConnected, "127.0.0.1:" + std::to_string(server.Port())));
}

TEST(THttpClientWireTest, Http10OverAnHttpsUrlIsPlainAndAddsNoHostOrConnectionLine) {
  TLoopbackHttpServer server(Answering({OkAnswer}));
  THttpClient http;
  http.WaitMS = 10000;
  http.SetURL("HTTPS://127.0.0.1:" + std::to_string(server.Port()) + "/x");
  EXPECT_EQ(http.GetURL(), "HTTP://127.0.0.1:" + std::to_string(server.Port()) + "/x");
  http.Execute();
  EXPECT_EQ(server.Received(), "GET /x HTTP/1.0\r\n\r\n\r\n");
  EXPECT_EQ(http.TelnetStatus(), telReady);
  EXPECT_EQ(http.Response(), OkAnswer);
}

TEST(THttpClientWireTest, ProxyGetsTheAbsoluteUrl) {
  TLoopbackHttpServer proxy(Answering({OkAnswer}));
  THttpClient http;
  http.WaitMS = 10000;
  http.Protocol = "HTTP/1.1";
  http.ProxyHost().SetHostName("127.0.0.1");
  http.ProxyHost().SetPort(proxy.Port());
  http.ProxyHost().SetUseProxy(true);
  // The target's name is never resolved: only the proxy is connected to.
  http.SetURL("http://server/dir/app.dll?x");
  http.SetRequest("POST /dir/app.dll?x");
  http.StringVars = {"a=1"};
  http.Execute();
  EXPECT_EQ(proxy.Received(),
            "POST HTTP://server/dir/app.dll?x HTTP/1.1\r\n"
            "Connection: close\r\n"
            "Host: server\r\n"
            "Content-Type: application/x-www-form-urlencoded\r\n"
            "Content-length: 3\r\n"
            "\r\n"
            "a=1\r\n\r\n");
  EXPECT_EQ(http.TelnetStatus(), telReady);
}

// ---------------------------------------------------------------------------
// Composing the request

TEST(THttpClientTest, EncodeStrKeepsOnlyLettersDigitsSlashAndPlus) {
  const std::pair<std::string, std::string> cases[] = {
      {"a b", "a+b"},
      {"=", "%3D"},
      {"-", "%2D"},
      {".", "%2E"},
      {"+", "+"},
      {"/", "/"},
      {"&", "%26"},
      {"%", "%25"},
      {"Az09", "Az09"},
      {"\r\n", "%0D%0A"},
      {"{*}", "%7B%2A%7D"},
      {"\xE9", "%E9"},
      {"", ""},
  };
  for (const auto& [value, encoded] : cases) {
    EXPECT_EQ(THttpClient::EncodeStr(value), encoded) << value;
  }
}

TEST(THttpClientTest, UrlEncodedStringVarsSkipsLinesWithoutEquals) {
  THttpClient http;
  EXPECT_EQ(http.UrlEncodedStringVars({"a b=c&d"}), "a+b=c%26d");
  EXPECT_EQ(http.UrlEncodedStringVars({"no field", "x=1", "y=a=b", "=", "z="}), "x=1&y=a%3Db&=&z=");
  EXPECT_EQ(http.UrlEncodedStringVars({}), "");
}

TEST(THttpClientTest, SetUrlParsesHostPortAndRequest) {
  struct TCase {
    const char* Url;
    const char* HostName;
    std::uint16_t Port;
    const char* Request;
    const char* GetUrl;
  };
  const TCase cases[] = {
      {"HTTP://server/dir/app.dll?x", "server", 80, "GET /dir/app.dll?x", "HTTP://server/dir/app.dll?x"},
      {"HTTPS://host/x", "host", 443, "GET /x", "HTTP://host:443/x"},
      {"https://host:8443/x", "host", 8443, "GET /x", "HTTP://host:8443/x"},
      {"http://h:8080", "h", 8080, "GET /", "HTTP://h:8080/"},
      {"h/app.dll", "h", 80, "GET /app.dll?", "HTTP://h/app.dll?"},
      {"http:///x", "localhost", 80, "GET /x", "HTTP://localhost/x"},
  };
  for (const auto& c : cases) {
    THttpClient http;
    http.SetURL(c.Url);
    EXPECT_EQ(http.Host().HostName(), c.HostName) << c.Url;
    EXPECT_EQ(http.Host().Port(), c.Port) << c.Url;
    EXPECT_EQ(http.Request(), c.Request) << c.Url;
    EXPECT_EQ(http.GetURL(), c.GetUrl) << c.Url;
  }
}

TEST(THttpClientTest, SetRequestNormalizesTheRequestLine) {
  const std::pair<const char*, const char*> cases[] = {
      {"/app.dll", "GET /app.dll?"},
      {"/tool.EXE", "GET /tool.EXE?"},
      {"/page.html", "GET /page.html"},
      {"", "GET /"},
      {"/", "GET /"},
      {"/dir/", "GET /dir/"},
      {"x/y", "GET /x/y"},
      {"POST /dir/app.dll?x", "POST /dir/app.dll?x"},
      {"POST /dir/app.dll", "POST /dir/app.dll?"},
      {"POST dir", "POST /dir"},
  };
  for (const auto& [value, request] : cases) {
    THttpClient http;
    http.SetRequest(value);
    EXPECT_EQ(http.Request(), request) << value;
  }
}

TEST(THttpClientTest, OnlyAPostMethodCarriesTheForm) {
  const std::pair<const char*, const char*> cases[] = {
      {"POST /f", "POST /f HTTP/1.0\r\nContent-Type: application/x-www-form-urlencoded\r\nContent-length: 3\r\n\r\na=1\r\n"},
      {"post /f", "POST /f HTTP/1.0\r\nContent-Type: application/x-www-form-urlencoded\r\nContent-length: 3\r\n\r\na=1\r\n"},
      {"Post /f", "Post /f HTTP/1.0\r\n\r\n"},
      {"GET /f", "GET /f HTTP/1.0\r\n\r\n"},
  };
  for (const auto& [request, message] : cases) {
    THttpClient http;
    http.SetRequest(request);
    http.StringVars = {"a=1"};
    EXPECT_EQ(http.ComposeRequest(), message) << request;
  }
}

TEST(THttpClientTest, FilesOfOneKindGoIntoTheFormItself) {
  testing::TempDir dir;
  const std::string upload = dir.WriteFile("a.txt", "hello");
  THttpClient http;
  http.SetRequest("POST /u");
  http.StringVars = {"f=v 1"};
  http.Files = {"bad entry", "upload=" + upload + ";text/plain", "missing=" + dir.Path() + "none.txt;text/plain"};
  const std::string body =
      "--AaB03x\r\nContent-Disposition: form-data; name=\"f\"\r\n\r\nv 1\r\n"
      "--AaB03x\r\nContent-Disposition: form-data; name=\"upload\"; filename=\"" + upload +
      "\"\r\nContent-Type: text/plain\r\n\r\nhello\r\n"
      "--AaB03x--";
  EXPECT_EQ(http.ComposeRequest(),
            "POST /u HTTP/1.0\r\nContent-Type: multipart/form-data, boundary=AaB03x\r\nContent-length: " +
                std::to_string(body.size()) + "\r\n\r\n" + body + "\r\n");
}

TEST(THttpClientTest, FilesOfDifferentKindsGoIntoANestedPart) {
  testing::TempDir dir;
  const std::string one = dir.WriteFile("one.txt", "ONE");
  const std::string two = dir.WriteFile("two.png", "TWO");
  THttpClient http;
  http.SetRequest("POST /u");
  http.Files = {"a=" + one + ";text/plain", "b=" + two + ";image/png"};
  const std::string body =
      "--AaB03x\r\nContent-Disposition: form-data; name=\"multi\"\r\n"
      "Content-Type: multipart/mixed, boundary=BbC04y\r\n\r\n"
      "--BbC04y\r\nContent-Disposition: attachment; filename=\"" + one +
      "\"\r\nContent-Type: text/plain\r\n\r\nONE\r\n"
      "--BbC04y\r\nContent-Disposition: attachment; filename=\"" + two +
      "\"\r\nContent-Type: image/png\r\n\r\nTWO\r\n"
      "--BbC04y--\r\n--AaB03x--";
  EXPECT_EQ(http.ComposeRequest(),
            "POST /u HTTP/1.0\r\nContent-Type: multipart/form-data, boundary=AaB03x\r\nContent-length: " +
                std::to_string(body.size()) + "\r\n\r\n" + body + "\r\n");
}

// ---------------------------------------------------------------------------
// The exchange

TEST(THttpClientExchangeTest, ALargeAnswerInPiecesIsJoinedInOrderWithEveryByte) {
  // The status line itself is split, and the rest comes as 10 KB pieces.
  std::vector<std::string> pieces = {"HTTP/1.1 20", "0 OK\r\n\r\n"};
  for (int i = 0; i < 10; ++i) {
    pieces.push_back(std::string(10 * 1024, static_cast<char>('a' + i)));
  }
  // A zero byte inside a piece is part of the answer, and so is all after it.
  pieces[4][100] = '\0';
  TServerScript script = Answering(pieces);
  script.PieceDelay = std::chrono::milliseconds(5);
  TLoopbackHttpServer server(script);

  THttpClient http;
  http.WaitMS = 10000;
  int hookCalls = 0;
  http.OnProcessMessages = [&] { ++hookCalls; };
  http.SetURL(LoopbackUrl(server.Port(), "/big"));
  http.Execute();

  std::string expected;
  for (const auto& piece : pieces) {
    expected += piece;
  }
  EXPECT_EQ(http.TelnetStatus(), telReady);
  EXPECT_EQ(http.Response().size(), expected.size());
  EXPECT_TRUE(http.Response() == expected);
  EXPECT_EQ(http.ReturnCode(), "200 OK");
  EXPECT_GT(hookCalls, 0);
}

TEST(THttpClientExchangeTest, ASilentServerEndsInTimeOutAfterWaitMS) {
  TServerScript script;
  script.Mode = TServerScript::TMode::NeverAnswer;
  TLoopbackHttpServer server(script);

  THttpClient http;
  TAdviseLog advice(http);
  http.WaitMS = 300;
  int hookCalls = 0;
  http.OnProcessMessages = [&] { ++hookCalls; };
  http.SetURL(LoopbackUrl(server.Port(), "/slow"));
  const auto start = std::chrono::steady_clock::now();
  http.Execute();
  const auto elapsed = std::chrono::steady_clock::now() - start;

  EXPECT_EQ(http.TelnetStatus(), telTimeOut);
  EXPECT_GE(elapsed, std::chrono::milliseconds(300));
  EXPECT_GT(hookCalls, 1);
  EXPECT_EQ(http.Response(), "");
  // The timed-out connection is closed, so the server sees the whole request end.
  EXPECT_EQ(server.Received(), "GET /slow HTTP/1.0\r\n\r\n\r\n");
}

TEST(THttpClientExchangeTest, ARefusedConnectionFailsAtOnceWithWinSockError) {
  THttpClient http;
  TAdviseLog advice(http);
  http.WaitMS = 30000;
  http.SetURL(LoopbackUrl(testing::UnusedLoopbackPort(), "/x"));
  http.Execute();
  // telTimeOut would mean the wait ran its full 30 s.
  EXPECT_EQ(http.TelnetStatus(), telWinSockError);
  EXPECT_TRUE(advice.Contains(telWinSockError, "Error, Open failed: Connection refused"));
}

TEST(THttpClientExchangeTest, AnUnknownHostGivesInvalidServer) {
  THttpClient http;
  TAdviseLog advice(http);
  http.SetURL("http://nohost.invalid/x");
  http.Execute();
  EXPECT_EQ(http.TelnetStatus(), telInvalidServer);
  EXPECT_TRUE(advice.Contains(telInvalidServer, "Error, Can't find host nohost.invalid"));
}

TEST(THttpClientExchangeTest, NoHostAtAllGivesNoMailServer) {
  THttpClient http;
  http.Host().SetAddress("");
  http.Execute();
  EXPECT_EQ(http.TelnetStatus(), telNoMailServer);
}

TEST(THttpClientExchangeTest, AResetDuringTheAnswerIsAFailure) {
  TServerScript script = Answering({"HTTP/1.1 200 OK\r\n\r\n-----BEGIN CERTIFICATE-----{*}MII"});
  script.ResetAfterAnswer = true;
  TLoopbackHttpServer server(script);
  THttpClient http;
  http.WaitMS = 10000;
  http.SetURL(LoopbackUrl(server.Port(), "/x"));
  http.Execute();
  EXPECT_EQ(http.TelnetStatus(), telWinSockError);
}

TEST(THttpClientExchangeTest, AnAnswerOverTheLimitIsCutAndFails) {
  std::vector<std::string> pieces = {"HTTP/1.1 200 OK\r\n\r\n"};
  for (int i = 0; i < 24; ++i) {
    pieces.push_back(std::string(64 * 1024, 'x'));
  }
  TLoopbackHttpServer server(Answering(pieces));
  THttpClient http;
  TAdviseLog advice(http);
  http.WaitMS = 10000;
  http.SetURL(LoopbackUrl(server.Port(), "/huge"));
  http.Execute();
  EXPECT_EQ(http.TelnetStatus(), telReadError);
  EXPECT_EQ(http.Response().size(), THttpClient::MaxResponseSize);
  EXPECT_TRUE(advice.Contains(telReadError, "Error, the answer is larger than 1048576 bytes"));
}

TEST(THttpClientExchangeTest, ExecuteWhileBusyLeavesTheRunningExchangeAlone) {
  TServerScript script = Answering({"HTTP/1.1 200 OK\r\n\r\nfirst", " second"});
  script.PieceDelay = std::chrono::milliseconds(100);
  TLoopbackHttpServer server(script);
  THttpClient http;
  http.WaitMS = 10000;
  http.SetURL(LoopbackUrl(server.Port(), "/x"));
  bool reentered = false;
  http.OnProcessMessages = [&] {
    if (!reentered && !http.Response().empty()) {
      reentered = true;
      http.Execute();
    }
  };
  http.Execute();
  EXPECT_TRUE(reentered);
  EXPECT_EQ(http.TelnetStatus(), telReady);
  EXPECT_EQ(http.Response(), "HTTP/1.1 200 OK\r\n\r\nfirst second");
}

TEST(THttpClientExchangeTest, AnOverlongWaitIsReplacedByTheFallback) {
  TLoopbackHttpServer server(Answering({OkAnswer}));
  THttpClient http;
  http.WaitMS = 70000;
  http.SetURL(LoopbackUrl(server.Port(), "/x"));
  http.Execute();
  EXPECT_EQ(http.WaitMS, THttpClient::FallbackWaitMS);
  EXPECT_EQ(http.TelnetStatus(), telReady);
}

TEST(THttpClientExchangeTest, WritingStopsWhenTheWaitIsOver) {
  TServerScript script;
  script.Mode = TServerScript::TMode::NeverRead;
  TLoopbackHttpServer server(script);
  THttpClient http;
  http.WaitMS = 1500;
  http.SetURL(LoopbackUrl(server.Port(), "/x"));
  http.SetRequest("POST /x");
  // Far more than the socket buffers on both ends hold.
  http.XMLRequest = {std::string(6 * 1024 * 1024, 'x')};
  http.Execute();
  EXPECT_EQ(http.TelnetStatus(), telTimeOut);
}

}  // namespace
}  // namespace kelvane
