#include "KMX_uTOTP.h"

#include <gtest/gtest.h>

#include "FakeClock.h"

namespace kelvane {
namespace {

using namespace std::chrono_literals;

TimePoint At(std::int64_t unixSeconds) { return std::chrono::system_clock::from_time_t(unixSeconds); }

// The SHA-1 rows of RFC 6238's appendix B, cut to 6 digits.
TEST(TOTP, CodesMatchThePublishedTestVectors) {
  const std::string key = "12345678901234567890";
  const std::pair<std::int64_t, const char*> rows[] = {
      {59, "287082"}, {1111111109, "081804"}, {1111111111, "050471"},
      {1234567890, "005924"}, {2000000000, "279037"},
  };
  for (const auto& [time, code] : rows) EXPECT_EQ(TOTPCode(key, TOTPStepOf(At(time))), code) << time;
}

TEST(TOTP, Base32RoundTripsAndRefusesOtherCharacters) {
  std::string bytes;
  ASSERT_TRUE(DecodeBase32("gezd gnbv-gy3t qojq gezd gnbv gy3t qojq", bytes));
  EXPECT_EQ(bytes, "12345678901234567890");
  EXPECT_EQ(EncodeBase32(bytes), "GEZDGNBVGY3TQOJQGEZDGNBVGY3TQOJQ");
  ASSERT_TRUE(DecodeBase32("MZXW6===", bytes));
  EXPECT_EQ(bytes, "foo");
  EXPECT_FALSE(DecodeBase32("MZXW1", bytes));
  EXPECT_FALSE(DecodeBase32("", bytes));
}

TEST(TOTP, TheVerifierTakesOneStepEitherSideAndNoCodeTwice) {
  testing::FakeClock clock(At(1111111111));
  TTOTPVerifier verifier(clock.AsClock());
  const std::string key = "12345678901234567890";
  const std::int64_t now = TOTPStepOf(clock.Now());

  EXPECT_FALSE(verifier.Verify("admin", key, TOTPCode(key, now - 2)));
  EXPECT_FALSE(verifier.Verify("admin", key, TOTPCode(key, now + 2)));
  EXPECT_FALSE(verifier.Verify("admin", key, ""));
  EXPECT_FALSE(verifier.Verify("admin", key, "12345"));
  EXPECT_TRUE(verifier.Verify("admin", key, TOTPCode(key, now - 1)));
  EXPECT_FALSE(verifier.Verify("admin", key, TOTPCode(key, now - 1))) << "replayed";
  EXPECT_TRUE(verifier.Verify("admin", key, TOTPCode(key, now)));
  // Once a code of the current step was used, the older step's is stale too.
  EXPECT_TRUE(verifier.Verify("other", key, TOTPCode(key, now - 1)));
  EXPECT_FALSE(verifier.Verify("admin", key, TOTPCode(key, now - 1)));

  clock.Advance(TOTPStep);
  EXPECT_TRUE(verifier.Verify("admin", key, TOTPCode(key, now + 1)));
}

}  // namespace
}  // namespace kelvane
