#include "SvcUnitFile.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "ChildProcess.h"
#include "TempDir.h"

namespace kelvane {
namespace {

using kelvane::testing::RunChild;
using kelvane::testing::TempDir;

TServiceRegistration VardexRegistration() {
  TServiceRegistration registration;
  registration.Name = "Vardex";
  registration.DisplayName = "Kelvane";
  registration.ProgramPath = VARDEX_PROGRAM_PATH;
  registration.Arguments = {"/SERVICE", "/DRYRUN=/var/tmp/power.log"};
  return registration;
}

TEST(SvcUnitFile, WordsReachTheServiceUnchanged) {
  struct Case {
    const char* Word;
    const char* Written;
  };
  const Case cases[] = {
      {"/SERVICE", "/SERVICE"},
      {"/DisplayName=Two Words", "\"/DisplayName=Two Words\""},
      {"100%", "100%%"},
      {"$HOME", "$$HOME"},
      {"a\\b", "\"a\\\\b\""},
      {"say \"hi\"", "\"say \\\"hi\\\"\""},
      {"line\nbreak", "\"line\\x0abreak\""},
      {";", "\";\""},
      {"", "\"\""},
  };
  for (const Case& c : cases) EXPECT_EQ(QuoteUnitWord(c.Word), c.Written) << c.Word;
  EXPECT_EQ(FormatExecStart("/opt/kelvane/vardex", {"/SERVICE", "/ServiceName=Main", "/DisplayName=Test"}),
            "\"/opt/kelvane/vardex\" /SERVICE /ServiceName=Main /DisplayName=Test");
  EXPECT_EQ(FormatExecStart("/opt/my kelvane/vardex", {"/SERVICE"}), "\"/opt/my kelvane/vardex\" /SERVICE");
}

TEST(SvcUnitFile, UnitRunsTheProgramAsANotifyServiceInAHardenedSandbox) {
  TServiceRegistration registration = VardexRegistration();
  registration.ProgramPath = "/opt/kelvane/vardex";
  registration.DisplayName = "Kelvane\nExecStartPre=/bin/false";
  const std::string unit = FormatServiceUnit(registration);
  for (const char* line : {"Description=Kelvane ExecStartPre=/bin/false\n", "Type=notify\n",
                           "ExecStart=\"/opt/kelvane/vardex\" /SERVICE /DRYRUN=/var/tmp/power.log\n",
                           "WorkingDirectory=/opt/kelvane\n", "Restart=on-failure\n", "StartLimitBurst=5\n",
                           "NoNewPrivileges=yes\n", "ProtectSystem=strict\n", "ReadWritePaths=/opt/kelvane\n",
                           "ProtectHome=yes\n", "PrivateTmp=yes\n", "SupplementaryGroups=tty\n",
                           "CapabilityBoundingSet=CAP_SYS_BOOT CAP_NET_BIND_SERVICE\n",
                           "SystemCallFilter=@system-service @reboot\n", "WantedBy=multi-user.target\n"}) {
    EXPECT_NE(unit.find(line), std::string::npos) << line;
  }
  // A display name cannot smuggle in a setting of its own.
  EXPECT_EQ(unit.find("\nExecStartPre"), std::string::npos);
}

std::string SystemdAnalyze() {
  for (const char* path : {"/usr/bin/systemd-analyze", "/bin/systemd-analyze"}) {
    if (std::filesystem::exists(path)) return path;
  }
  return "";
}

TEST(SvcUnitFile, SystemdAcceptsTheUnit) {
  const std::string analyze = SystemdAnalyze();
  if (analyze.empty()) GTEST_SKIP() << "systemd-analyze is not installed";
  TempDir folder;
  TServiceRegistration registration = VardexRegistration();
  registration.DisplayName = "Kelvane 100% \"reboot\"";
  registration.Arguments.push_back("/DisplayName=Kelvane 100% \"reboot\"");
  const std::string unit = folder.WriteFile("Vardex.service", FormatServiceUnit(registration));
  const auto result = RunChild(analyze, {"verify", unit}, {}, folder.Path());
  EXPECT_EQ(result.Status, 0) << result.Stdout << result.Stderr;
  EXPECT_EQ(result.Stderr, "");
}

// systemd's own rating of the sandbox, read from the unit file alone: a
// setting dropped or loosened raises the exposure above what the service's
// work needs (root, the network, reboot(2), the terminals: 2.3 of 10).
TEST(SvcUnitFile, SandboxExposureStaysLow) {
  const std::string analyze = SystemdAnalyze();
  if (analyze.empty()) GTEST_SKIP() << "systemd-analyze is not installed";
  TempDir folder;
  TServiceRegistration registration = VardexRegistration();
  const std::string unit = folder.WriteFile("Vardex.service", FormatServiceUnit(registration));
  const auto result =
      RunChild(analyze, {"security", "--offline=yes", "--threshold=25", "--no-pager", unit}, {}, folder.Path());
  EXPECT_EQ(result.Status, 0) << result.Stdout << result.Stderr;
  EXPECT_NE(result.Stdout.find("Overall exposure level for Vardex.service: 2."), std::string::npos) << result.Stdout;
}

}  // namespace
}  // namespace kelvane
