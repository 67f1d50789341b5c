#include "KMX_uLoginThrottle.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "FakeClock.h"

namespace kelvane {
namespace {

using namespace std::chrono_literals;

class LoginThrottleTest : public ::testing::Test {
 protected:
  LoginThrottleTest() : FThrottle([this](std::string_view line) { FLines.emplace_back(line); }, FClock.AsClock()) {
    FThrottle.SetSettings({.MaxFailures = 3, .FailureWindow = 100s, .BlockSeconds = 10s});
  }

  void Fail(const std::string& address, int times, const std::string& name = "admin") {
    for (int i = 0; i < times; ++i) {
      ASSERT_FALSE(FThrottle.Admit(address, name).Blocked);
      FThrottle.RecordFailure(address, name);
    }
  }

  testing::FakeClock FClock{std::chrono::system_clock::from_time_t(1700000000)};
  std::vector<std::string> FLines;
  TLoginThrottle FThrottle;
};

TEST_F(LoginThrottleTest, BlocksAnAddressAfterTheLimitAndLogsBlockAndEndWithTheRefusedCount) {
  Fail("10.0.0.1", 2);
  EXPECT_FALSE(FThrottle.Admit("10.0.0.1", "admin").Blocked);
  FThrottle.RecordFailure("10.0.0.1", "admin");

  const TThrottleVerdict blocked = FThrottle.Admit("10.0.0.1", "admin");
  EXPECT_TRUE(blocked.Blocked);
  EXPECT_EQ(blocked.RetryAfter, 10s);
  FClock.Advance(3500ms);
  EXPECT_EQ(FThrottle.Admit("10.0.0.1", "other").RetryAfter, 7s);  // rounded up
  // Another address is not touched.
  EXPECT_FALSE(FThrottle.Admit("10.0.0.2", "admin").Blocked);

  ASSERT_EQ(FLines.size(), 1u);
  EXPECT_EQ(FLines[0], "Address 10.0.0.1 is blocked for 10 seconds after 3 failed login(s).");
  FClock.Advance(6500ms);
  EXPECT_FALSE(FThrottle.Admit("10.0.0.1", "admin").Blocked);
  ASSERT_EQ(FLines.size(), 2u);
  EXPECT_EQ(FLines[1], "Address 10.0.0.1 is no longer blocked; 2 login attempt(s) were refused during the block.");
}

TEST_F(LoginThrottleTest, TheBlockEndIsLoggedWhenAnyLoginArrives) {
  Fail("10.0.0.1", 3);
  FClock.Advance(11s);
  FThrottle.Admit("10.0.0.9", "someone");
  ASSERT_EQ(FLines.size(), 2u);
  EXPECT_NE(FLines[1].find("10.0.0.1 is no longer blocked; 0 login"), std::string::npos);
}

TEST_F(LoginThrottleTest, FailuresOutsideTheWindowDoNotCount) {
  Fail("10.0.0.1", 2);
  FClock.Advance(101s);
  Fail("10.0.0.1", 2);
  EXPECT_FALSE(FThrottle.Admit("10.0.0.1", "admin").Blocked);
}

TEST_F(LoginThrottleTest, EachFurtherBlockDoublesUpToAnHour) {
  FThrottle.SetSettings({.MaxFailures = 1, .FailureWindow = 100s, .BlockSeconds = 1000s});
  for (const auto expected : {1000s, 2000s, 3600s, 3600s}) {
    Fail("10.0.0.1", 1);
    EXPECT_EQ(FThrottle.Admit("10.0.0.1", "admin").RetryAfter, expected);
    FClock.Advance(expected);
  }
}

TEST_F(LoginThrottleTest, ASuccessResetsTheCountAndTheDoubling) {
  Fail("10.0.0.1", 2);
  FThrottle.RecordSuccess("10.0.0.1");
  Fail("10.0.0.1", 2);
  EXPECT_FALSE(FThrottle.Admit("10.0.0.1", "admin").Blocked);

  Fail("10.0.0.1", 1);
  FClock.Advance(10s);
  FThrottle.RecordSuccess("10.0.0.1");
  Fail("10.0.0.1", 3);
  EXPECT_EQ(FThrottle.Admit("10.0.0.1", "admin").RetryAfter, 10s);
}

TEST_F(LoginThrottleTest, ASuccessDoesNotLiftARunningBlock) {
  Fail("10.0.0.1", 3);
  FThrottle.RecordSuccess("10.0.0.1");
  EXPECT_TRUE(FThrottle.Admit("10.0.0.1", "admin").Blocked);
}

TEST_F(LoginThrottleTest, ANameGuessedFromManyAddressesIsSlowedButNeverBlocked) {
  for (int i = 0; i < UserSlowDownFailures; ++i) {
    const std::string address = "10.1.0." + std::to_string(i);
    const TThrottleVerdict verdict = FThrottle.Admit(address, "Admin");
    EXPECT_EQ(verdict.AnswerNotBefore, FClock.Now()) << i;
    FThrottle.RecordFailure(address, i % 2 ? "ADMIN" : "admin");
  }
  const TThrottleVerdict slowed = FThrottle.Admit("10.2.0.1", "admin");
  EXPECT_FALSE(slowed.Blocked);
  EXPECT_EQ(slowed.AnswerNotBefore, FClock.Now() + UserDelay);
  EXPECT_EQ(FThrottle.Admit("10.2.0.1", "root").AnswerNotBefore, FClock.Now());

  FClock.Advance(101s);
  EXPECT_EQ(FThrottle.Admit("10.2.0.1", "admin").AnswerNotBefore, FClock.Now());
}

TEST_F(LoginThrottleTest, NewSettingsKeepTheState) {
  Fail("10.0.0.1", 2);
  FThrottle.SetSettings({.MaxFailures = 3, .FailureWindow = 100s, .BlockSeconds = 20s});
  Fail("10.0.0.1", 1);
  EXPECT_EQ(FThrottle.Admit("10.0.0.1", "admin").RetryAfter, 20s);
}

TEST_F(LoginThrottleTest, AClockSetBackDoesNotStretchTheWait) {
  Fail("10.0.0.1", 3);
  FClock.Advance(-24h);
  EXPECT_EQ(FThrottle.Admit("10.0.0.1", "admin").RetryAfter, 10s);
}

}  // namespace
}  // namespace kelvane
