#include "ucAppRoleChannel.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <future>
#include <system_error>

namespace kelvane {
namespace {

std::string UniqueName(const std::string& stem) {
  return "\\\\.\\pipe\\ucAppRoleChannelTest_" + stem + "_" + std::to_string(::getpid());
}

using TResult = TChannelServer::TReceiveResult;

TEST(ucAppRoleChannel, ServedNameTakesWholeMessagesFromClients) {
  const std::string name = UniqueName("messages");
  EXPECT_FALSE(ChannelExists(name));
  EXPECT_FALSE(SendChannelMessage(name, "nobody listens"));
  TChannelServer server(name);
  EXPECT_TRUE(ChannelExists(name));
  EXPECT_THROW(TChannelServer second(name), std::system_error);

  // The probe above came and went without a message.
  std::string message;
  EXPECT_EQ(server.ReceiveOne(message, 36), TResult::NoMessage);
  ASSERT_TRUE(SendChannelMessage(name, std::string("\0\1\2", 3)));
  ASSERT_TRUE(SendChannelMessage(name, std::string(100, 'x')));
  EXPECT_EQ(server.ReceiveOne(message, 36), TResult::Message);
  EXPECT_EQ(message, std::string("\0\1\2", 3));
  // A longer message is cut to the size asked for.
  EXPECT_EQ(server.ReceiveOne(message, 36), TResult::Message);
  EXPECT_EQ(message, std::string(36, 'x'));
}

TEST(ucAppRoleChannel, StopEndsAWaitingReceive) {
  TChannelServer server(UniqueName("stop"));
  auto waiting = std::async(std::launch::async, [&] {
    std::string message;
    return server.ReceiveOne(message, 36);
  });
  EXPECT_EQ(waiting.wait_for(std::chrono::milliseconds(50)), std::future_status::timeout);
  server.Stop();
  EXPECT_EQ(waiting.get(), TResult::Stopped);
  std::string message;
  EXPECT_EQ(server.ReceiveOne(message, 36), TResult::Stopped);
}

TEST(ucAppRoleChannel, NameIsFreeAgainWhenTheServerGoes) {
  const std::string name = UniqueName("free");
  { TChannelServer server(name); }
  EXPECT_FALSE(ChannelExists(name));
  TChannelServer again(name);
  EXPECT_TRUE(ChannelExists(name));
  // Names too long for an address stay apart.
  const std::string longName = std::string(200, 'n');
  TChannelServer first(longName + "1");
  TChannelServer second(longName + "2");
  EXPECT_TRUE(ChannelExists(longName + "1"));
  EXPECT_FALSE(ChannelExists(longName + "3"));
}

}  // namespace
}  // namespace kelvane
