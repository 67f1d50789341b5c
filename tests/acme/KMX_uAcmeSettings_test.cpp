#include "KMX_uAcmeSettings.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>

#include "TempDir.h"
#include "Vardex_uConfig.h"
#include "ucIniFile.h"

namespace kelvane {
namespace {

using ::testing::HasSubstr;

bool Read(std::string_view text, TAcmeServiceSettings& settings, std::string& error) {
  return ReadAcmeSettings(TIniReader(text), "/opt/kelvane/", settings, error);
}

TEST(AcmeSettings, ReadsTheSectionWithDefaults) {
  TAcmeServiceSettings settings;
  std::string error;
  ASSERT_TRUE(Read("[Configuration]\r\nKMXPort=443\r\n", settings, error)) << error;
  EXPECT_FALSE(settings.Enabled);

  ASSERT_TRUE(Read("[ACME]\r\nDirectory=https://acme.example.org/dir\r\n", settings, error));
  EXPECT_TRUE(settings.Enabled);
  EXPECT_EQ(settings.Challenge, TAcmeChallengeType::TlsAlpn01);
  EXPECT_FALSE(settings.RenewDaysBefore.has_value());
  EXPECT_EQ(settings.CAFile, "");

  ASSERT_TRUE(Read("[acme]\nDirectory = https://acme.example.org/dir\nEMail=a@example.org\n"
                   "CAFile=Cert/acme-roots.pem\nChallenge=http-01\nRenewDaysBefore=10\n",
                   settings, error))
      << error;
  EXPECT_EQ(settings.Directory, "https://acme.example.org/dir");
  EXPECT_EQ(settings.EMail, "a@example.org");
  EXPECT_EQ(settings.CAFile, "/opt/kelvane/Cert/acme-roots.pem");
  EXPECT_EQ(settings.Challenge, TAcmeChallengeType::Http01);
  EXPECT_EQ(settings.RenewDaysBefore, 10);
  EXPECT_FALSE(settings.RenewObtainedBefore.has_value());

  // A local time, with or without seconds.
  ASSERT_TRUE(Read("[ACME]\nDirectory=https://a.example/dir\nRenewObtainedBefore=2026-12-10 20:00\n", settings, error));
  const TimePoint minute = settings.RenewObtainedBefore.value();
  ASSERT_TRUE(Read("[ACME]\nDirectory=https://a.example/dir\nRenewObtainedBefore=2026-12-10 20:00:30\n", settings, error));
  EXPECT_EQ(settings.RenewObtainedBefore.value() - minute, std::chrono::seconds(30));
  const LocalTime local = ToLocalTime(minute);
  EXPECT_EQ(local.Year * 10000 + local.Month * 100 + local.Day, 20261210);
  EXPECT_EQ(local.Hour * 100 + local.Minute, 2000);
  // A time still to come would renew every new certificate again until then.
  ASSERT_TRUE(Read("[ACME]\nDirectory=https://a.example/dir\nRenewObtainedBefore=2099-01-01 00:00\n", settings, error));
  EXPECT_LE(settings.RenewObtainedBefore.value(), std::chrono::system_clock::now());
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
      {"Directory=https://a.example/dir\nRenewObtainedBefore=10.12.2026", "RenewObtainedBefore"},
      {"Directory=https://a.example/dir\nRenewObtainedBefore=2026-12-10 20:00 tomorrow", "RenewObtainedBefore"},
  };
  for (const auto& c : cases) {
    TAcmeServiceSettings settings;
    std::string error;
    EXPECT_FALSE(Read(std::string("[ACME]\n") + c.Lines + "\n", settings, error))
        << c.Lines;
    EXPECT_THAT(error, HasSubstr(std::string("[ACME] ") + c.Entry)) << c.Lines;
    EXPECT_FALSE(settings.Enabled);
  }
}

// The service reads the section with the rest of its configuration, so a
// reload takes it or leaves the whole file.
TEST(AcmeSettings, TheConfigurationReadsTheSectionAndAReloadWithAnUnusableValueChangesNothing) {
  testing::TempDir folder;
  const auto write = [&](const std::string& acme) {
    const std::string path = folder.WriteFile("Vardex.cfg", "[Configuration]\r\nCommonName=localhost\r\n[UserList]\r\n"
                                                            "admin=secret\r\n[ACME]\r\n" + acme);
    // Old enough to be read at once.
    std::filesystem::last_write_time(path, std::filesystem::file_time_type::clock::now() - std::chrono::seconds(5));
  };
  TConfig config(folder.Path());
  std::string error;
  write("Directory=https://acme.example.org/dir\r\nCAFile=roots.pem\r\nRenewDaysBefore=20\r\n");
  ASSERT_TRUE(config.Reload(error)) << error;
  EXPECT_TRUE(config.FAcme.Enabled);
  EXPECT_EQ(config.FAcme.CAFile, folder.Path() + "roots.pem");
  EXPECT_EQ(config.FAcme.RenewDaysBefore, 20);

  write("Directory=https://acme.example.org/dir\r\nRenewDaysBefore=soon\r\n");
  EXPECT_FALSE(config.Reload(error));
  EXPECT_THAT(error, HasSubstr("Wrong parameter '[ACME] RenewDaysBefore': \"soon\" is no number of days."));
  EXPECT_EQ(config.FAcme.RenewDaysBefore, 20);

  write("");
  ASSERT_TRUE(config.Reload(error)) << error;
  EXPECT_FALSE(config.FAcme.Enabled);
}

}  // namespace
}  // namespace kelvane
