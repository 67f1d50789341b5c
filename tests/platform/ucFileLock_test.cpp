#include "ucFileLock.h"

#include <gtest/gtest.h>

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <thread>

#include "TempDir.h"

namespace kelvane {
namespace {

using namespace std::chrono_literals;
using kelvane::testing::TempDir;

TEST(ucFileLock, OneHolderAtATime) {
  TempDir folder;
  TFileLock first(folder.Path() + "x.lock");
  TFileLock second(folder.Path() + "x.lock");
  ASSERT_TRUE(first.TryLockFor(0ms));
  EXPECT_FALSE(second.TryLockFor(30ms));
  EXPECT_FALSE(second.Locked());
  first.Unlock();
  EXPECT_TRUE(second.TryLockFor(0ms));

  // A waiter gets the lock as soon as the holder lets go.
  std::thread releaser([&] {
    std::this_thread::sleep_for(20ms);
    second.Unlock();
  });
  EXPECT_TRUE(first.TryLockFor(5s));
  releaser.join();
}

TEST(ucFileLock, LockOfADeadHolderIsFree) {
  TempDir folder;
  const std::string path = folder.Path() + "x.lock";
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    TFileLock held(path);
    held.TryLockFor(0ms);
    ::pause();
    ::_exit(0);
  }
  TFileLock probe(path);
  const auto deadline = std::chrono::steady_clock::now() + 10s;
  while (std::chrono::steady_clock::now() < deadline && probe.TryLockFor(0ms)) {
    probe.Unlock();
    std::this_thread::sleep_for(5ms);
  }
  EXPECT_FALSE(probe.TryLockFor(0ms)) << "the child never took the lock";
  ::kill(child, SIGKILL);
  int status = 0;
  ::waitpid(child, &status, 0);
  EXPECT_TRUE(probe.TryLockFor(0ms));
}

TEST(ucFileLock, LockFileThatCannotBeMadeIsAnError) {
  TempDir folder;
  folder.WriteFile("file", "");
  TFileLock lock(folder.Path() + "file/x.lock");
  EXPECT_THROW(lock.TryLockFor(0ms), std::system_error);
}

TEST(ucFileLock, NamesMapToDistinctFilesInOneFolder) {
  const std::string plain = NamedLockFilePath("AppRoleMutex/vardex/0");
  EXPECT_NE(plain, NamedLockFilePath("AppRoleMutex%2Fvardex%2F0"));
  EXPECT_NE(plain, NamedLockFilePath("appRoleMutex/vardex/0"));
  const std::string longA = NamedLockFilePath("AppRoleMutex/" + std::string(400, 'a') + "/0");
  const std::string longB = NamedLockFilePath("AppRoleMutex/" + std::string(400, 'a') + "/1");
  EXPECT_NE(longA, longB);
  const auto fileName = [](const std::string& path) { return path.substr(path.rfind('/') + 1); };
  EXPECT_LE(fileName(longA).size(), 255u);
  EXPECT_EQ(plain.substr(0, plain.rfind('/')), longA.substr(0, longA.rfind('/')));
  EXPECT_EQ(fileName(plain).find('/'), std::string::npos);
}

}  // namespace
}  // namespace kelvane
