#include "ucNamedMutex.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <random>

namespace kelvane {
namespace {

using namespace std::chrono_literals;

std::string UniqueName(const char* purpose) {
  return std::string("kelvane test ") + purpose + " " + std::to_string(::getpid()) + " " +
         std::to_string(std::random_device{}());
}

TEST(ucNamedMutex, ASecondHolderTimesOutUntilTheFirstReleases) {
  const std::string name = UniqueName("timeout");
  TNamedMutex first(name);
  TNamedMutex second(name);
  std::string error;
  ASSERT_EQ(first.Acquire(0ms, error), TLockWaitResult::Acquired) << error;

  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(second.Acquire(60ms, error), TLockWaitResult::TimedOut);
  EXPECT_GE(std::chrono::steady_clock::now() - start, 60ms);
  EXPECT_FALSE(second.IsHeld());

  first.Release();
  EXPECT_EQ(second.Acquire(0ms, error), TLockWaitResult::Acquired) << error;
  EXPECT_EQ(TNamedMutex(name).Acquire(0ms, error), TLockWaitResult::TimedOut);
}

TEST(ucNamedMutex, ALockHeldByAProcessThatDiesIsTakenOver) {
  const std::string name = UniqueName("abandoned");
  int ready[2];
  ASSERT_EQ(::pipe(ready), 0);
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    TNamedMutex held(name);
    std::string error;
    const char answer = held.Acquire(1000ms, error) == TLockWaitResult::Acquired ? 'y' : 'n';
    (void)::write(ready[1], &answer, 1);
    ::pause();  // holds the lock until it is killed
    ::_exit(0);
  }
  char answer = 0;
  ASSERT_EQ(::read(ready[0], &answer, 1), 1);
  ASSERT_EQ(answer, 'y');

  TNamedMutex waiter(name);
  std::string error;
  EXPECT_EQ(waiter.Acquire(30ms, error), TLockWaitResult::TimedOut);

  ::kill(child, SIGKILL);
  ::waitpid(child, nullptr, 0);
  ::close(ready[0]);
  ::close(ready[1]);
  EXPECT_EQ(waiter.Acquire(5000ms, error), TLockWaitResult::Acquired) << error;
}

TEST(ucNamedMutex, EveryNameMapsToItsOwnFileName) {
  const std::string a = TNamedMutex::LockFilePath("AppRoleMutex/Vardex/1");
  const std::string b = TNamedMutex::LockFilePath("AppRoleMutex_Vardex_1");
  EXPECT_NE(a, b);
  EXPECT_EQ(a.find('/', a.rfind("kelvane-")), std::string::npos) << a;

  const std::string longA = TNamedMutex::LockFilePath(std::string(1000, 'x') + "a");
  const std::string longB = TNamedMutex::LockFilePath(std::string(1000, 'x') + "b");
  EXPECT_NE(longA, longB);
  EXPECT_LT(longA.size() - longA.rfind('/'), 255u);

  std::string error;
  TNamedMutex odd(std::string("odd \\ name : with * everything \x01\xff"));
  EXPECT_EQ(odd.Acquire(0ms, error), TLockWaitResult::Acquired) << error;
}

}  // namespace
}  // namespace kelvane
