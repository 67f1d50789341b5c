#include "KMX_uAcmeSettings.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

namespace kelvane {
namespace {

using ::testing::HasSubstr;

TEST(AcmeSettings, ReadsTheSectionWithDefaults) {
  TAcmeServiceSettings settings;
  std::string error;
  ASSERT_TRUE(ReadAcmeSettings("[Configuration]\r\nKMXPort=443\r\n", "/opt/kelvane/", settings, error)) << error;
  EXPECT_FALSE(settings.Enabled);

  ASSERT_TRUE(ReadAcmeSettings("[ACME]\r\nDirectory=https://acme.example.org/dir\r\n", "/opt/kelvane/", settings,
                               error));
  EXPECT_TRUE(settings.Enabled);
  EXPECT_EQ(settings.Challenge, TAcmeChallengeType::TlsAlpn01);
  EXPECT_FALSE(settings.RenewDaysBefore.has_value());
  EXPECT_EQ(settings.CAFile, "");

  ASSERT_TRUE(ReadAcmeSettings("[acme]\nDirectory = https://acme.example.org/dir\nEMail=a@example.org\n"
                               "CAFile=Cert/acme-roots.pem\nChallenge=http-01\nRenewDaysBefore=10\n",
                               "/opt/kelvane/", settings, error))
      << error;
  EXPECT_EQ(settings.Directory, "https://acme.example.org/dir");
  EXPECT_EQ(settings.EMail, "a@example.org");
  EXPECT_EQ(settings.CAFile, "/opt/kelvane/Cert/acme-roots.pem");
  EXPECT_EQ(settings.Challenge, TAcmeChallengeType::Http01);
  EXPECT_EQ(settings.RenewDaysBefore, 10);
}

TEST(AcmeSettings, RefusesValuesItCannotUseAndNamesTheEntry) {
  const struct {
    const char* Lines;
    const char* Entry;
  } cases[] = {
      {"Directory=http://acme.example.org/dir", "Directory"},
      {"Directory=https:///dir", "Directory"},
      {"Directory=https://a.example/dir\nChallenge=dns-01", "Challenge"},
      {"Directory=https://a.example/dir\nRenewDaysBefore=-1", "RenewDaysBefore"},
      {"Directory=https://a.example/dir\nRenewDaysBefore=ten", "RenewDaysBefore"},
  };
  for (const auto& c : cases) {
    TAcmeServiceSettings settings;
    std::string error;
    EXPECT_FALSE(ReadAcmeSettings(std::string("[ACME]\n") + c.Lines + "\n", "/opt/kelvane/", settings, error))
        << c.Lines;
    EXPECT_THAT(error, HasSubstr(std::string("[ACME] ") + c.Entry)) << c.Lines;
    EXPECT_FALSE(settings.Enabled);
  }
}

}  // namespace
}  // namespace kelvane
