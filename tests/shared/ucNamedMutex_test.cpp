#include "ucNamedMutex.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <random>

namespace kelvane {
namespace {

using namespace std::chrono_literals;

// A name no other run uses; its lock file is removed when the test ends.
class TUniqueName {
 public:
  explicit TUniqueName(const char* purpose)
      : FName(std::string("kelvane test ") + purpose + " " + std::to_string(::getpid()) + " " +
              std::to_string(std::random_device{}())) {}
  ~TUniqueName() { std::filesystem::remove(TNamedMutex::LockFilePath(FName)); }
  operator std::string_view() const { return FName; }

 private:
  std::string FName;
};

TEST(ucNamedMutex, ASecondHolderTimesOutUntilTheFirstReleases) {
  const TUniqueName name("timeout");
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
  const TUniqueName name("abandoned");
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

  const std::string oddName = std::string("odd \\ name : with * everything \x01\xff ") + std::to_string(::getpid());
  {
    std::string error;
    TNamedMutex odd(oddName);
    EXPECT_EQ(odd.Acquire(0ms, error), TLockWaitResult::Acquired) << error;
  }
  std::filesystem::remove(TNamedMutex::LockFilePath(oddName));
}

}  // namespace
}  // namespace kelvane
