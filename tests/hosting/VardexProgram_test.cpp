#include "VardexProgram.h"

#include <gtest/gtest.h>

#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <sstream>

#include "ChildProcess.h"
#include "FakeMainModule.h"
#include "MultiTypeAppDiagLog.h"
#include "TempDir.h"
#include "ucPaths.h"
#include "ucText.h"

namespace kelvane {
namespace {

using namespace std::chrono_literals;
using kelvane::testing::ReadFile;
using kelvane::testing::RunChild;
using kelvane::testing::ServedInstanceNumbers;
using kelvane::testing::TChildProcess;
using kelvane::testing::TempDir;
using kelvane::testing::TFakeMainModule;
using kelvane::testing::TNotifySocket;
using kelvane::testing::WaitUntil;

const std::string FakeProgram = VARDEX_FAKE_PATH;
const std::string RealProgram = VARDEX_PROGRAM_PATH;
// The listener's default terminate wait time: a stop must not take longer.
constexpr auto TerminateWaitTime = 5000ms;

std::string UniqueProduct() {
  static std::atomic<int> counter {0};
  return "KelvaneRun" + std::to_string(::getpid()) + "x" + std::to_string(counter++);
}

std::string SystemdAnalyze() {
  for (const char* path : {"/usr/bin/systemd-analyze", "/bin/systemd-analyze"}) {
    if (std::filesystem::exists(path)) return path;
  }
  return {};
}

// The program run in this process, with a fake main module and the program
// file in a temporary folder.
class InProcessFixture : public ::testing::Test {
 protected:
  int Run(const TCommandLine& args) {
    FOut.str("");
    FErr.str("");
    TProgramSetup setup;
    setup.Args = args;
    setup.ProgramPath = FFolder.Path() + "vardex";
    setup.VersionInfo.GetVersionInfoString = [](const std::string& Key) -> std::string {
      if (Key == "ProductName") return "Kelvane";
      if (Key == "ServiceName") return "Vardex";
      if (Key == "DisplayName") return "Kelvane";
      return UnknownVersionValue;
    };
    setup.VersionInfo.GetFileVersionText = [](bool Short) -> std::string { return Short ? "4.5" : "4.5.0.8"; };
    setup.MainModuleFactory = [](TEventLoop&, const TServiceOptions& Options) {
      return std::make_unique<TFakeMainModule>(kelvane::testing::TFakeBehaviour {}, Options, [](const std::string&) {});
    };
    setup.UnitFolder = FFolder.Path() + "units";
    setup.UseSystemctl = false;
    setup.Out = &FOut;
    setup.Err = &FErr;
    return RunVardex(setup);
  }

  TempDir FFolder;
  std::ostringstream FOut;
  std::ostringstream FErr;
};

TEST_F(InProcessFixture, HelpAndVersionAnswerAndEnd) {
  EXPECT_EQ(Run({"--version"}), 0);
  EXPECT_EQ(FOut.str(), "vardex (Kelvane) 4.5.0.8\n");
  for (const char* help : {"--help", "-h", "/?", "/HELP"}) {
    EXPECT_EQ(Run({"/INSTALL", help}), 0);
    EXPECT_EQ(FOut.str().rfind("Usage: vardex [MODE] [OPTION]...\n", 0), 0u) << help;
    EXPECT_FALSE(std::filesystem::exists(FFolder.Path() + "units/Vardex.service"));
  }
}

TEST_F(InProcessFixture, InstallAndUninstallTellWhatTheyDidAndRepeatQuietly) {
  std::filesystem::create_directories(FFolder.Path() + "units");
  EXPECT_EQ(Run({"--install", "/ServiceName=Main", "/DisplayName=Test"}), 0);
  EXPECT_EQ(FOut.str(), "Service installed successfully\n");
  const std::string unit = ReadFile(FFolder.Path() + "units/Main.service");
  EXPECT_NE(unit.find("ExecStart=\"" + FFolder.Path() + "vardex\" /SERVICE /ServiceName=Main /DisplayName=Test\n"),
            std::string::npos);
  EXPECT_NE(unit.find("Description=Test\n"), std::string::npos);

  EXPECT_EQ(Run({"/INSTALL", "/ServiceName=Main", "/DisplayName=Other"}), 0);
  EXPECT_EQ(FOut.str() + FErr.str(), "");
  EXPECT_EQ(ReadFile(FFolder.Path() + "units/Main.service"), unit);
  const std::string log = ReadFile(DiagnosticLogPath(FFolder.Path() + "vardex", ToLocalTime(SystemClock()())));
  EXPECT_NE(log.find(Utf8ToUtf16LE("\t(info)\t\tservice is already installed\r\n")), std::string::npos);

  EXPECT_EQ(Run({"-UNINSTALL", "/ServiceName=Main"}), 0);
  EXPECT_EQ(FOut.str(), "Service uninstalled successfully\n");
  EXPECT_FALSE(std::filesystem::exists(FFolder.Path() + "units/Main.service"));
  EXPECT_EQ(Run({"/UNINSTALL", "/ServiceName=Main"}), 0);
  EXPECT_EQ(FOut.str() + FErr.str(), "");

  // Both switches together install.
  EXPECT_EQ(Run({"/UNINSTALL", "/INSTALL"}), 0);
  EXPECT_EQ(FOut.str(), "Service installed successfully\n");
  EXPECT_TRUE(std::filesystem::exists(FFolder.Path() + "units/Vardex.service"));
}

TEST_F(InProcessFixture, FailuresEndWithAFailureStatusAndSayWhy) {
  FFolder.WriteFile("units", "a file, not a folder");
  EXPECT_EQ(Run({"/INSTALL", "/SILENT"}), 1);
  EXPECT_EQ(FOut.str(), "");
  EXPECT_EQ(FErr.str().rfind("Service \"Kelvane\" failed to install with error: \"Cannot write ", 0), 0u) << FErr.str();

  EXPECT_EQ(Run({"/SERVICE", "/ServiceName=My Service"}), 1);
  EXPECT_EQ(FErr.str(), "''My Service'' is not a valid component name\n");
}

// Real processes of the program with the fake main module.
class ProcessFixture : public ::testing::Test {
 protected:
  std::vector<std::string> Environment(const std::string& product, const std::string& extra = {}) const {
    std::vector<std::string> environment {"KELVANE_TEST_PRODUCT=" + product, "KELVANE_UNIT_DIR=" + FFolder.Path()};
    if (!extra.empty()) environment.push_back(extra);
    return environment;
  }
  std::string RecordFile() const { return FFolder.Path() + "record.txt"; }
  std::string Record() const { return ReadFile(RecordFile()); }

  TempDir FFolder;
};

TEST_F(ProcessFixture, RefusedServiceStartEndsWithAFailureStatusAndNoReadyMessage) {
  TNotifySocket notify(FFolder.Path() + "notify");
  auto environment = Environment(UniqueProduct(), "KELVANE_FAKE_START=fail");
  environment.push_back("NOTIFY_SOCKET=" + notify.Path());
  const auto result = RunChild(FakeProgram, {"/SERVICE", "/DRYRUN=" + RecordFile()}, environment, FFolder.Path());
  EXPECT_EQ(result.Status, 1) << result.Stderr;
  EXPECT_NE(result.Stderr.find("Start-up failed: Certificate files are missing"), std::string::npos) << result.Stderr;
  EXPECT_EQ(Record(), "create dryrun=1 file=" + RecordFile() + "\nstart\ndestroy\n");
  EXPECT_EQ(notify.Receive(0ms), "");
}

TEST_F(ProcessFixture, ServiceReportsReadyAndStopsCleanlyOnATerminationSignal) {
  for (const int signal : {SIGTERM, SIGINT}) {
    std::filesystem::remove(RecordFile());
    TNotifySocket notify(FFolder.Path() + "notify" + std::to_string(signal));
    auto environment = Environment(UniqueProduct());
    environment.push_back("NOTIFY_SOCKET=" + notify.Path());
    TChildProcess service(FakeProgram, {"--service", "/DRYRUN=" + RecordFile()}, environment, FFolder.Path());
    ASSERT_EQ(notify.Receive(60s), "READY=1") << service.Stderr();
    EXPECT_TRUE(service.Running());
    EXPECT_EQ(Record(), "create dryrun=1 file=" + RecordFile() + "\nstart\n");

    service.Signal(signal);
    EXPECT_EQ(notify.Receive(TerminateWaitTime), "STOPPING=1");
    EXPECT_EQ(service.WaitFor(TerminateWaitTime), 0) << service.Stderr();
    // The main module was destroyed on the way out.
    EXPECT_EQ(Record(), "create dryrun=1 file=" + RecordFile() + "\nstart\ndestroy\n");
  }
}

TEST_F(ProcessFixture, DesktopRunReportsTheOutcomeOfItsStart) {
  const auto good = RunChild(FakeProgram, {}, Environment(UniqueProduct()), FFolder.Path());
  EXPECT_EQ(good.Status, 0) << good.Stderr;
  EXPECT_NE(good.Stdout.find("started successfully"), std::string::npos) << good.Stdout;

  const auto bad = RunChild(FakeProgram, {}, Environment(UniqueProduct(), "KELVANE_FAKE_START=fail"), FFolder.Path());
  EXPECT_EQ(bad.Status, 1);
  EXPECT_NE(bad.Stderr.find("Certificate files are missing\n"), std::string::npos) << bad.Stderr;
  EXPECT_NE(bad.Stderr.find("/var/log/fake/Errors/today.log"), std::string::npos) << bad.Stderr;
}

TEST_F(ProcessFixture, TwoRunsAtOnceGetNumbersOneAndTwoAndTheSecondIsRefused) {
  const std::string product = UniqueProduct();
  const std::string go = FFolder.Path() + "go";
  const auto environment = Environment(product, "KELVANE_FAKE_WAIT_FOR=" + go);
  TChildProcess a(FakeProgram, {}, environment, FFolder.Path());
  TChildProcess b(FakeProgram, {}, environment, FFolder.Path());
  ASSERT_TRUE(WaitUntil([&] { return !a.Running() || !b.Running(); }, 60s));
  TChildProcess& refused = a.Running() ? b : a;
  TChildProcess& first = a.Running() ? a : b;
  EXPECT_EQ(refused.WaitFor(0ms), 1);
  EXPECT_EQ(refused.Stderr(), product + " already running; will not continue with instance #2\n");
  EXPECT_EQ(ServedInstanceNumbers(product), (std::vector<int> {1}));

  FFolder.WriteFile("go", "");
  EXPECT_EQ(first.WaitFor(60s), 0) << first.Stderr();
  EXPECT_TRUE(ServedInstanceNumbers(product).empty());
  // The next run gets number 1 again and is not refused.
  const auto next = RunChild(FakeProgram, {}, Environment(product), FFolder.Path());
  EXPECT_EQ(next.Status, 0) << next.Stderr;
}

TEST_F(ProcessFixture, KilledProcessFreesItsNumber) {
  const std::string product = UniqueProduct();
  TChildProcess held(FakeProgram, {}, Environment(product, "KELVANE_FAKE_WAIT_FOR=" + FFolder.Path() + "never"),
                     FFolder.Path());
  ASSERT_TRUE(WaitUntil([&] { return ServedInstanceNumbers(product) == std::vector<int> {1}; }, 60s));
  held.Signal(SIGKILL);
  EXPECT_EQ(held.WaitFor(10s), 128 + SIGKILL);
  EXPECT_TRUE(ServedInstanceNumbers(product).empty());
  const auto next = RunChild(FakeProgram, {}, Environment(product), FFolder.Path());
  EXPECT_EQ(next.Status, 0) << next.Stderr;
}

TEST_F(ProcessFixture, ShippedProgramInstallsAUnitThatSystemdAccepts) {
  const auto version = RunChild(RealProgram, {"--version"}, {}, FFolder.Path());
  EXPECT_EQ(version.Stdout, "vardex (Kelvane) 4.5.0.8\n");

  std::filesystem::create_directories(FFolder.Path() + "units");
  const std::vector<std::string> environment {"KELVANE_UNIT_DIR=" + FFolder.Path() + "units"};
  const auto install = RunChild(RealProgram, {"/INSTALL", "/DRYRUN=/var/tmp/power.log"}, environment, FFolder.Path());
  EXPECT_EQ(install.Status, 0) << install.Stderr;
  EXPECT_EQ(install.Stdout, "Service installed successfully\n");
  const std::string unit = FFolder.Path() + "units/Vardex.service";
  EXPECT_NE(ReadFile(unit).find("ExecStart=\"" + RealProgram + "\" /SERVICE /DRYRUN=/var/tmp/power.log\n"),
            std::string::npos);
  EXPECT_NE(ReadFile(unit).find("Description=Kelvane\n"), std::string::npos);
  if (!SystemdAnalyze().empty()) {
    const auto verify = RunChild(SystemdAnalyze(), {"verify", unit}, {}, FFolder.Path());
    EXPECT_EQ(verify.Status, 0) << verify.Stdout << verify.Stderr;
    EXPECT_EQ(verify.Stderr, "");
  }
  const auto uninstall = RunChild(RealProgram, {"/UNINSTALL", "/SILENT"}, environment, FFolder.Path());
  EXPECT_EQ(uninstall.Status, 0) << uninstall.Stderr;
  EXPECT_EQ(uninstall.Stdout, "");
  EXPECT_FALSE(std::filesystem::exists(unit));

  const std::vector<std::string> blocked {"KELVANE_UNIT_DIR=" + FFolder.WriteFile("blocked", "")};
  const auto failed = RunChild(RealProgram, {"/INSTALL"}, blocked, FFolder.Path());
  EXPECT_EQ(failed.Status, 1);
  EXPECT_EQ(failed.Stderr.rfind("Service \"Kelvane\" failed to install with error: \"", 0), 0u) << failed.Stderr;
}

}  // namespace
}  // namespace kelvane
