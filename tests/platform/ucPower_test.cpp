#include "ucPower.h"

#include <gtest/gtest.h>
#include <sys/capability.h>

#include <cstdlib>
#include <fstream>
#include <sstream>

#include "TempDir.h"

namespace kelvane {
namespace {

// Whether the process's permitted set holds CAP_SYS_BOOT, read from the
// kernel's own report rather than through libcap.
bool RebootPermitted() {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("CapPrm:", 0) == 0) {
      const unsigned long long mask = std::strtoull(line.c_str() + 7, nullptr, 16);
      return (mask >> CAP_SYS_BOOT) & 1u;
    }
  }
  return false;
}

bool RebootEffectiveOnThisThread() {
  std::ifstream status("/proc/thread-self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("CapEff:", 0) == 0) {
      const unsigned long long mask = std::strtoull(line.c_str() + 7, nullptr, 16);
      return (mask >> CAP_SYS_BOOT) & 1u;
    }
  }
  return false;
}

TEST(ucPower, DryRunRecordsEachForcedActionAsALine) {
  testing::TempDir dir;
  const std::string record = dir.WriteFile("power.log", "earlier\n");
  std::unique_ptr<IPowerBackend> power = CreateDryRunPowerBackend(record);
  power->EnableShutdownRight();
  power->NotifySessions(TPowerAction::Reboot);
  EXPECT_EQ(testing::ReadFile(record), "earlier\n");
  power->Force(TPowerAction::Reboot);
  power->Force(TPowerAction::Shutdown);
  EXPECT_EQ(testing::ReadFile(record), "earlier\nreboot\nshutdown\n");

  // The file is made when it does not exist yet.
  const std::string fresh = dir.Path() + "fresh.log";
  CreateDryRunPowerBackend(fresh)->Force(TPowerAction::Shutdown);
  EXPECT_EQ(testing::ReadFile(fresh), "shutdown\n");
}

TEST(ucPower, DryRunWithoutFileReportsOnStderr) {
  ::testing::internal::CaptureStderr();
  CreateDryRunPowerBackend("")->Force(TPowerAction::Reboot);
  EXPECT_EQ(::testing::internal::GetCapturedStderr(), "Dry run: reboot\n");

  testing::TempDir dir;
  ::testing::internal::CaptureStderr();
  CreateDryRunPowerBackend(dir.Path() + "missing/folder/power.log")->Force(TPowerAction::Shutdown);
  const std::string text = ::testing::internal::GetCapturedStderr();
  EXPECT_EQ(text.rfind("Dry run: shutdown (cannot write ", 0), 0u) << text;
}

TEST(ucPower, ShutdownRightFollowsWhatTheProcessIsPermitted) {
  const bool permitted = RebootPermitted();
  EXPECT_EQ(CreateSystemPowerBackend()->EnableShutdownRight(), permitted);
  EXPECT_EQ(CreateDryRunPowerBackend("")->EnableShutdownRight(), permitted);
  EXPECT_EQ(RebootEffectiveOnThisThread(), permitted);
}

TEST(ucPower, ShutdownRightIsRefusedWithoutThePermission) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        cap_t caps = cap_get_proc();
        cap_value_t bootRight = CAP_SYS_BOOT;
        cap_set_flag(caps, CAP_EFFECTIVE, 1, &bootRight, CAP_CLEAR);
        cap_set_flag(caps, CAP_PERMITTED, 1, &bootRight, CAP_CLEAR);
        const bool dropped = cap_set_proc(caps) == 0;
        cap_free(caps);
        if (!dropped || RebootPermitted()) std::_Exit(2);
        std::_Exit(CreateDryRunPowerBackend("")->EnableShutdownRight() ? 1 : 0);
      },
      ::testing::ExitedWithCode(0), "");
}

}  // namespace
}  // namespace kelvane
