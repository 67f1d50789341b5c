#include "AppRole.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>

#include "AppRoleMutex.h"
#include "ChildProcess.h"
#include "ucEventLoop.h"
#include "ucAppRoleChannel.h"
#include "ucNamedMutex.h"

#include <unistd.h>

namespace kelvane {
namespace {

using kelvane::testing::ServedInstanceNumbers;
using kelvane::testing::WaitUntil;

// An ID no other test or process uses.
std::string UniqueID(const std::string& stem) {
  static std::atomic<int> counter {0};
  return stem + "-" + std::to_string(::getpid()) + "-" + std::to_string(counter++) + "-" +
         std::to_string(std::chrono::steady_clock::now().time_since_epoch().count() % 100000);
}

// Runs whatever the registries' listeners posted to this (the main) thread.
void ServeMainThread(TEventLoop& loop) {
  loop.Post([&] { loop.Quit(); });
  loop.Run();
}

TEST(AppRoleMessage, NumbersMapToBitsOfLittleEndianWords) {
  TInstanceMask mask;
  mask.set(1);
  mask.set(33);
  mask.set(255);
  const std::string message = EncodeAppRoleMessage(mask);
  ASSERT_EQ(message.size(), 36u);
  EXPECT_EQ(message.substr(0, 4), std::string(4, '\0'));
  EXPECT_EQ(message.substr(4, 4), std::string("\x01\0\0\0", 4));
  EXPECT_EQ(message.substr(8, 4), std::string("\x01\0\0\0", 4));
  EXPECT_EQ(message.substr(32, 4), std::string("\0\0\0\x40", 4));
  TInstanceMask decoded;
  ASSERT_TRUE(DecodeAppRoleMessage(message, decoded));
  EXPECT_EQ(decoded, mask);

  std::string otherType = message;
  otherType[0] = 1;
  EXPECT_FALSE(DecodeAppRoleMessage(otherType, decoded));
  EXPECT_FALSE(DecodeAppRoleMessage(message.substr(0, 35), decoded));
  // Bit 31 of the last word has no number.
  std::string stray(36, '\0');
  stray[35] = '\x80';
  ASSERT_TRUE(DecodeAppRoleMessage(stray, decoded));
  EXPECT_TRUE(decoded.none());
}

TEST(AppRole, PipeNamesCarryTheIDWithBackslashesReplaced) {
  EXPECT_EQ(TAppRole::PipeName("vardex", 1), "\\\\.\\pipe\\AppRolePipe_vardex_1");
  EXPECT_EQ(TAppRole::PipeName("a\\b", 12), "\\\\.\\pipe\\AppRolePipe_a?b_12");
  EXPECT_EQ(AppRoleMutexName("a\\b", 0), "AppRoleMutex/a\\b/0");
}

TEST(AppRole, ProcessesGetTheLowestFreeNumberAndLearnOfEachOther) {
  TEventLoop loop;
  const std::string id = UniqueID("approle");
  auto first = std::make_unique<TAppRole>(loop, id);
  auto second = std::make_unique<TAppRole>(loop, id);
  EXPECT_EQ(first->InstanceNumber(), 1);
  EXPECT_EQ(second->InstanceNumber(), 2);
  EXPECT_EQ(ServedInstanceNumbers(id), (std::vector<int> {1, 2}));
  // The first hears of the second through its channel.
  EXPECT_TRUE(WaitUntil([&] {
    ServeMainThread(loop);
    return first->InstanceCount() == 2;
  }));

  first.reset();
  EXPECT_EQ(ServedInstanceNumbers(id), (std::vector<int> {2}));
  EXPECT_TRUE(WaitUntil([&] {
    ServeMainThread(loop);
    return second->InstanceCount() == 1;
  }));
  TAppRole third(loop, id);
  EXPECT_EQ(third.InstanceNumber(), 1);
}

TEST(AppRole, DifferentIDsNeverCollideAndAChangedIDMovesTheNumber) {
  TEventLoop loop;
  const std::string serviceID = UniqueID("vardex");
  const std::string productID = UniqueID("Kelvane");
  TAppRole service(loop, serviceID);
  TAppRole desktop(loop, serviceID);
  EXPECT_EQ(desktop.InstanceNumber(), 2);
  desktop.SetAppID("  " + productID + " ");
  EXPECT_EQ(desktop.AppID(), productID);
  EXPECT_EQ(desktop.InstanceNumber(), 1);
  EXPECT_EQ(service.InstanceNumber(), 1);
  EXPECT_EQ(ServedInstanceNumbers(serviceID), (std::vector<int> {1}));
  EXPECT_EQ(ServedInstanceNumbers(productID), (std::vector<int> {1}));
}

TEST(AppRole, LockHeldElsewhereEndsTheClaimWithALockTimeout) {
  TEventLoop loop;
  const std::string id = UniqueID("locked");
  TNamedMutex holder(AppRoleMutexName(id, 0));
  std::string error;
  ASSERT_EQ(holder.Acquire(std::chrono::milliseconds(0), error), TLockWaitResult::Acquired) << error;
  try {
    TAppRole role(loop, id);
    FAIL() << "claimed " << role.InstanceNumber();
  } catch (const ELockTimeout& e) {
    EXPECT_STREQ(e.what(), "Mutex lock timeout");
  }
  EXPECT_TRUE(ServedInstanceNumbers(id).empty());
  holder.Release();
  EXPECT_EQ(TAppRole(loop, id).InstanceNumber(), 1);
}

TEST(AppRole, OnlyWholeRegistryMessagesReplaceTheMask) {
  TEventLoop loop;
  const std::string id = UniqueID("stray");
  TAppRole role(loop, id);
  const std::string pipe = TAppRole::PipeName(id, 1);
  TInstanceMask told;
  told.set(1).set(9);
  ASSERT_TRUE(SendChannelMessage(pipe, EncodeAppRoleMessage(told)));
  ASSERT_TRUE(WaitUntil([&] {
    ServeMainThread(loop);
    return role.InstanceMask() == told;
  }));

  std::string wrongType = EncodeAppRoleMessage(TInstanceMask().set(7));
  wrongType[0] = 5;
  EXPECT_TRUE(SendChannelMessage(pipe, wrongType));
  EXPECT_TRUE(SendChannelMessage(pipe, "hello"));
  EXPECT_FALSE(WaitUntil(
      [&] {
        ServeMainThread(loop);
        return role.InstanceMask() != told;
      },
      std::chrono::milliseconds(300)));

  // A scan puts the view right again.
  role.Refresh();
  EXPECT_EQ(role.InstanceCount(), 1);
}

}  // namespace
}  // namespace kelvane
