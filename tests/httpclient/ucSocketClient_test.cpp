#include "ucSocketClient.h"

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

#include "LoopbackHttpServer.h"
#include "ucSocket.h"
#include "ucSocketErrors.h"

namespace kelvane {
namespace {

using testing::TLoopbackHttpServer;
using testing::TServerScript;

// Runs the notifications of this thread until done() holds or 10 s passed.
bool PumpUntil(const std::function<bool()>& done) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (!done() && std::chrono::steady_clock::now() < deadline) {
    ProcessSocketNotifications(10);
  }
  return done();
}

void Target(TSocketClient& client, std::uint16_t port) {
  client.SocketHost().SetHostName("127.0.0.1");
  client.SocketHost().SetPort(port);
}

TEST(TSocketClientTest, OpenRejectsHostsItCannotReach) {
  struct TCase {
    const char* HostName;
    const char* Address;
    const char* Message;
    bool IsArpError;
  };
  const TCase cases[] = {
      {"nohost.invalid", "", "Can't find host nohost.invalid", true},
      {"", "", "No Address!", false},
      {"", "300.1.2.3", "Invalid address!", false},
  };
  for (const auto& c : cases) {
    TSocketClient client;
    client.SocketHost().SetHostName(c.HostName);
    client.SocketHost().SetAddress(c.Address);
    client.SocketHost().SetPort(80);
    try {
      client.Open();
      ADD_FAILURE() << "no exception for " << c.Message;
    } catch (const EARPError& e) {
      EXPECT_TRUE(c.IsArpError) << e.what();
      EXPECT_STREQ(e.what(), c.Message);
    } catch (const ESocketError& e) {
      EXPECT_FALSE(c.IsArpError) << e.what();
      EXPECT_STREQ(e.what(), c.Message);
    }
    EXPECT_FALSE(client.Connection().Active());
  }
}

TEST(TSocketClientTest, EventsFollowTheConnectionInOrder) {
  TServerScript script;
  script.Pieces = {"first ", "second"};
  script.PieceDelay = std::chrono::milliseconds(20);
  TLoopbackHttpServer server(script);

  TSocketClient client;
  Target(client, server.Port());
  std::vector<std::string> events;
  std::string received;
  std::string localAddress;
  std::uint16_t localPort = 0;
  client.OnOpen = [&](TSocketClient& sender) {
    events.push_back("open");
    localAddress = sender.Connection().LocalAddress();
    localPort = sender.Connection().LocalPort();
    sender.SendLine("GET / HTTP/1.0\r\n\r\n");
  };
  client.OnRead = [&](TSocketClient& sender) {
    events.push_back("read");
    received += sender.ReadLine();
  };
  client.OnClose = [&](TSocketClient&) { events.push_back("close"); };
  client.Open();
  EXPECT_TRUE(client.Connection().Active());

  ASSERT_TRUE(PumpUntil([&] { return !events.empty() && events.back() == "close"; }));
  EXPECT_EQ(received, "first second");
  EXPECT_EQ(events.front(), "open");
  EXPECT_GE(events.size(), 4u);
  EXPECT_EQ(localAddress, "127.0.0.1");
  EXPECT_NE(localPort, 0);
  EXPECT_FALSE(client.Connection().Active());
  EXPECT_EQ(client.Connection().LocalAddress(), "");
  EXPECT_EQ(server.Received(), "GET / HTTP/1.0\r\n\r\n");

  // A closed connection sends nothing and reports the whole text as taken.
  client.SendLine("late");
  EXPECT_EQ(client.Connection().BytesSent(), 4);
  EXPECT_EQ(client.ReadLine(), "");
}

TEST(TSocketClientTest, UnreadDataIsAnnouncedOnceAndTheCloseOnlyAfterIt) {
  TServerScript script;
  script.Mode = TServerScript::TMode::AnswerAtOnce;
  script.Pieces = {std::string("abc\0def", 7)};
  TLoopbackHttpServer server(script);

  TSocketClient client;
  Target(client, server.Port());
  int reads = 0;
  bool closed = false;
  client.OnRead = [&](TSocketClient&) { ++reads; };
  client.OnClose = [&](TSocketClient&) { closed = true; };
  client.Open();
  ASSERT_TRUE(PumpUntil([&] { return reads > 0; }));
  for (int pass = 0; pass < 20; ++pass) {
    ProcessSocketNotifications(5);
  }
  EXPECT_EQ(reads, 1);
  EXPECT_FALSE(closed);

  // A zero byte is data like any other: the whole piece arrives.
  EXPECT_EQ(client.ReadLine(), std::string("abc\0def", 7));
  ASSERT_TRUE(PumpUntil([&] { return closed; }));
}

TEST(TSocketClientTest, RefusedConnectionIsReportedAsAFailure) {
  TSocketClient client;
  Target(client, testing::UnusedLoopbackPort());
  std::string failure;
  bool opened = false;
  client.OnOpen = [&](TSocketClient&) { opened = true; };
  client.OnFailure = [&](TSocketClient&, const std::string& message) { failure = message; };
  client.Open();
  ASSERT_TRUE(PumpUntil([&] { return !failure.empty(); }));
  EXPECT_EQ(failure, "Open failed: " + SocketErrorText(ECONNREFUSED));
  EXPECT_FALSE(opened);
  EXPECT_FALSE(client.Connection().Active());
}

TEST(TSocketClientTest, AnExceptionFromAHandlerDoesNotStopTheEvents) {
  TServerScript script;
  script.Pieces = {"answer"};
  TLoopbackHttpServer server(script);

  TSocketClient client;
  Target(client, server.Port());
  std::vector<std::string> exceptions;
  bool closed = false;
  client.OnOpen = [&](TSocketClient& sender) {
    sender.SendLine("GET / HTTP/1.0\r\n\r\n");
    throw std::runtime_error("handler failed");
  };
  client.OnRead = [&](TSocketClient& sender) { sender.ReadLine(); };
  client.OnClose = [&](TSocketClient&) { closed = true; };
  client.OnException = [&](TSocketClient&, const std::string& message) { exceptions.push_back(message); };
  client.Open();
  ASSERT_TRUE(PumpUntil([&] { return closed; }));
  EXPECT_EQ(exceptions, std::vector<std::string> {"handler failed"});
}

}  // namespace
}  // namespace kelvane
