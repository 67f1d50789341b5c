// The login-defence parts of the configuration: [Security], [TOTP] and
// hashed passwords in [UserList].

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>

#include "KMX_uPasswordHash.h"
#include "TempDir.h"
#include "Vardex_uConfig.h"

namespace kelvane {
namespace {

class ConfigSecurityTest : public ::testing::Test {
 protected:
  bool Load(const std::string& text) {
    const std::string path = FDir.WriteFile("Vardex.cfg", text);
    std::filesystem::last_write_time(path, std::filesystem::file_time_type::clock::now() - std::chrono::seconds(5));
    return FConfig.Reload(FError);
  }

  testing::TempDir FDir;
  TConfig FConfig{FDir.Path()};
  std::string FError;
};

TEST_F(ConfigSecurityTest, SecurityValuesAreReadAndBadOnesReportedAndDefaulted) {
  ASSERT_TRUE(Load("[UserList]\r\nadmin=secret\r\n[Security]\r\nMaxFailures=3\r\nFailureWindow=60\r\nBlockSeconds=30\r\n"));
  EXPECT_EQ(FError, "");
  EXPECT_EQ(FConfig.FMaxFailures, 3);
  EXPECT_EQ(FConfig.FFailureWindow, 60);
  EXPECT_EQ(FConfig.FBlockSeconds, 30);

  ASSERT_TRUE(Load("[UserList]\r\nadmin=secret\r\n[Security]\r\nMaxFailures=0\r\nFailureWindow=ten\r\nBlockSeconds=3601\r\n"));
  EXPECT_NE(FError.find("Wrong parameter 'MaxFailures'. Wrong parameter 'FailureWindow'. Wrong parameter 'BlockSeconds'."),
            std::string::npos)
      << FError;
  EXPECT_EQ(FConfig.FMaxFailures, 5);
  EXPECT_EQ(FConfig.FFailureWindow, 900);
  EXPECT_EQ(FConfig.FBlockSeconds, 60);
}

TEST_F(ConfigSecurityTest, TOTPSecretsAreFoundByNameWithoutCaseAndABadOneLocksItsUserOut) {
  ASSERT_TRUE(Load("[UserList]\r\nadmin=secret\r\nbob=pw\r\n[TOTP]\r\nAdmin=GEZDGNBVGY3TQOJQ\r\nbob=not base32!\r\n"));
  EXPECT_NE(FError.find("Wrong parameter 'TOTP bob'."), std::string::npos) << FError;
  std::string secret;
  ASSERT_TRUE(FConfig.FindTOTPSecret("ADMIN", secret));
  EXPECT_EQ(secret, "1234567890");
  ASSERT_TRUE(FConfig.FindTOTPSecret("bob", secret));
  EXPECT_EQ(secret, "");
  EXPECT_FALSE(FConfig.FindTOTPSecret("carol", secret));

  ASSERT_TRUE(Load("[UserList]\r\nadmin=secret\r\n"));
  EXPECT_FALSE(FConfig.FindTOTPSecret("admin", secret)) << "a reload drops removed entries";
}

TEST_F(ConfigSecurityTest, HashedAndClearTextEntriesBothLogIn) {
  std::string hash, error;
  ASSERT_TRUE(HashPassword("h=a;sh", hash, error)) << error;
  ASSERT_TRUE(Load("[UserList]\r\nhashed=" + hash + "\r\nplain=clear\r\n"));
  EXPECT_TRUE(FConfig.CheckUser("Hashed", "h=a;sh"));
  EXPECT_FALSE(FConfig.CheckUser("hashed", hash));
  EXPECT_TRUE(FConfig.CheckUser("plain", "clear"));
  EXPECT_FALSE(FConfig.CheckUser("nobody", "clear"));
}

}  // namespace
}  // namespace kelvane
