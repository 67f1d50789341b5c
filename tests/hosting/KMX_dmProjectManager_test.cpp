#include "KMX_dmProjectManager.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <atomic>
#include <sstream>

#include "AppRole.h"
#include "ApplicationService.h"
#include "FakeMainModule.h"
#include "MultiTypeApp.h"
#include "MultiTypeAppDiagLog.h"
#include "MultiTypeAppSvc.h"
#include "SvcFramework.h"
#include "TempDir.h"
#include "ucEventLoop.h"
#include "ucPaths.h"
#include "ucText.h"

namespace kelvane {
namespace {

using kelvane::testing::ReadFile;
using kelvane::testing::TempDir;
using kelvane::testing::TFakeBehaviour;
using kelvane::testing::TFakeMainModule;

std::string UniqueProduct() {
  static std::atomic<int> counter {0};
  return "KelvaneTest" + std::to_string(::getpid()) + "x" + std::to_string(counter++);
}

// One program run in this process: the application with its service kind and
// the start-up module, a fake main module that records what happens to it.
class TProgramRun {
 public:
  TProgramRun(TEventLoop& Loop, const TempDir& Folder, TCommandLine Args, std::string Product,
              TFakeBehaviour Behaviour = {})
      : FLoop(Loop) {
    TSvcEnvironment environment;
    environment.Args = Args;
    environment.ProgramPath = Folder.Path() + "vardex";
    environment.VersionInfo.GetVersionInfoString = [Product](const std::string& Key) -> std::string {
      if (Key == "ProductName") return Product;
      if (Key == "ServiceName") return "Vardex";
      if (Key == "DisplayName") return "Kelvane";
      return UnknownVersionValue;
    };
    environment.UnitFolder = Folder.Path() + "units";
    environment.UseSystemctl = false;
    environment.Out = &Out;
    environment.Err = &Err;
    Kind = std::make_shared<TSvcApplication>(Loop, environment);
    App = std::make_unique<TMultiTypeApplication>(Kind);
    App->Initialize();
    TProjectContext context;
    context.App = App.get();
    context.Loop = &Loop;
    context.Args = Args;
    context.ProgramPath = environment.ProgramPath;
    context.VersionInfo = environment.VersionInfo;
    Startup = &App->CreateForm(std::make_unique<TDataModuleProjMgr>(
        context, [this, Behaviour](TEventLoop&, const TServiceOptions& Options) {
          return std::make_unique<TFakeMainModule>(Behaviour, Options,
                                                   [this](const std::string& Line) { Record.push_back(Line); });
        }));
  }

  TProjectManager& Manager() { return Startup->VDXProjMgr(); }

  // Runs the service framework until the service has started, then stops it.
  int RunServiceAndStop() {
    std::thread stopper([this] {
      TService& service = *Kind->ServiceFramework()->Services().front();
      while (service.Status() == TServiceStatus::csStopped || service.Status() == TServiceStatus::csStartPending) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
      }
      Kind->ServiceFramework()->RequestStop();
    });
    App->Run();
    stopper.join();
    return App->ExitCode();
  }

  TEventLoop& FLoop;
  std::ostringstream Out;
  std::ostringstream Err;
  std::vector<std::string> Record;
  std::shared_ptr<TSvcApplication> Kind;
  std::unique_ptr<TMultiTypeApplication> App;
  TDataModuleProjMgr* Startup = nullptr;
};

class ProjectManagerFixture : public ::testing::Test {
 protected:
  TEventLoop FLoop;
  TempDir FFolder;
};

TEST_F(ProjectManagerFixture, DesktopRunCreatesAndStartsTheMainModuleAtOnce) {
  TProgramRun run(FLoop, FFolder, {"/DRYRUN=/tmp/power.log"}, UniqueProduct());
  EXPECT_EQ(run.App->ApplicationMode(), TmtaMode::mtamApp);
  EXPECT_EQ(run.Kind->ApplicationService(), nullptr);
  run.Manager().ManageStartup();
  EXPECT_TRUE(run.Manager().Continue());
  EXPECT_EQ(run.Manager().ErrorMessage(), "");
  EXPECT_EQ(run.Record, (std::vector<std::string> {"create dryrun=1 file=/tmp/power.log", "start"}));
  EXPECT_EQ(run.Manager().ProjectRole().InstanceNumber(), 1);
  // The application owns the main module until it goes away.
  run.App.reset();
  run.Kind.reset();
  EXPECT_EQ(run.Record.back(), "destroy");
}

TEST_F(ProjectManagerFixture, RefusedStartIsReportedOnceWithTheModulesReason) {
  TFakeBehaviour refuse;
  refuse.Start = false;
  refuse.ErrorText = "Certificate files are missing";
  TProgramRun run(FLoop, FFolder, {}, UniqueProduct(), refuse);
  std::vector<std::string> reported;
  run.Manager().OnStartupError = [&](TProjectManager&, const std::string& ErrorText) { reported.push_back(ErrorText); };
  bool uiStep = false;
  run.Manager().OnGUICreate = [&](TProjectManager&, bool, std::string&, bool&) { uiStep = true; };
  run.Manager().ManageStartup();
  EXPECT_FALSE(run.Manager().Continue());
  EXPECT_EQ(reported, (std::vector<std::string> {"Certificate files are missing"}));
  EXPECT_FALSE(uiStep);
  EXPECT_NE(run.Startup->dmMain(), nullptr);
}

TEST_F(ProjectManagerFixture, SecondDesktopRunOfTheProductIsRefused) {
  TProgramRun first(FLoop, FFolder, {}, "Kelvane");
  first.Manager().ManageStartup();
  ASSERT_TRUE(first.Manager().Continue());
  TProgramRun second(FLoop, FFolder, {}, "Kelvane");
  second.Manager().ManageStartup();
  EXPECT_FALSE(second.Manager().Continue());
  EXPECT_EQ(second.Manager().ErrorMessage(), "Kelvane already running; will not continue with instance #2");
  EXPECT_TRUE(second.Record.empty());
  EXPECT_EQ(second.Startup->dmMain(), nullptr);
}

TEST_F(ProjectManagerFixture, ServiceStartRunsTheSeriesOnTheMainThreadAndItsVerdictCounts) {
  TProgramRun run(FLoop, FFolder, {"/SERVICE", "/DisplayName=Test"}, UniqueProduct());
  EXPECT_EQ(run.Kind->ApplicationService()->StartType(), TStartType::stAuto);
  run.Manager().ManageStartup();
  EXPECT_EQ(run.Kind->ServiceName(), "Vardex");
  EXPECT_EQ(run.Kind->DisplayName(), "Test");
  EXPECT_TRUE(run.Kind->Interactive());
  EXPECT_TRUE(run.Record.empty()) << "the series waits for the start announcement";
  EXPECT_EQ(run.RunServiceAndStop(), 0);
  EXPECT_EQ(run.Record, (std::vector<std::string> {"create dryrun=0 file=", "start"}));
  EXPECT_TRUE(run.Manager().Continue());
  EXPECT_TRUE(run.Manager().ShutdownStarted());
  // A service process keeps the program file's name as its ID and is never refused.
  EXPECT_EQ(run.Manager().ProjectRole().AppID(), "");
}

TEST_F(ProjectManagerFixture, RefusedServiceStartEndsTheServiceWithAFailure) {
  TFakeBehaviour refuse;
  refuse.Start = false;
  TProgramRun run(FLoop, FFolder, {"/SERVICE"}, UniqueProduct(), refuse);
  run.Manager().ManageStartup();
  run.App->Run();
  EXPECT_EQ(run.App->ExitCode(), 1);
  EXPECT_FALSE(run.Manager().Continue());
  EXPECT_EQ(run.Record, (std::vector<std::string> {"create dryrun=0 file=", "start"}));
}

TEST_F(ProjectManagerFixture, DebugSwitchEnablesTheUserInterfaceOfAService) {
  TProgramRun run(FLoop, FFolder, {"/SERVICE", "/debug"}, UniqueProduct());
  run.Manager().ManageStartup();
  EXPECT_FALSE(run.App->IsUIEnabled());
  EXPECT_EQ(run.RunServiceAndStop(), 0);
  EXPECT_TRUE(run.App->IsUIEnabled());
}

TEST_F(ProjectManagerFixture, InstallOverAnInstalledServiceAndRemovalOfAMissingOneDoNothing) {
  FFolder.WriteFile("units/Vardex.service", "[Unit]\n");
  TProgramRun install(FLoop, FFolder, {"/INSTALL"}, UniqueProduct());
  install.Manager().ManageStartup();
  EXPECT_TRUE(install.App->RunPrevented());
  EXPECT_TRUE(install.Manager().Continue());
  const std::string log = ReadFile(DiagnosticLogPath(FFolder.Path() + "vardex", ToLocalTime(SystemClock()())));
  EXPECT_NE(log.find(Utf8ToUtf16LE("service is already installed")), std::string::npos);

  TProgramRun uninstall(FLoop, FFolder, {"/UNINSTALL", "/ServiceName=Other"}, UniqueProduct());
  uninstall.Manager().ManageStartup();
  EXPECT_TRUE(uninstall.App->RunPrevented());
  EXPECT_TRUE(install.Record.empty());
  EXPECT_TRUE(uninstall.Record.empty());
}

TEST_F(ProjectManagerFixture, ServiceManagerThatCannotBeAskedIsRecordedAndTheRunGoesOn) {
  // A unit name longer than a file name may be cannot even be looked for.
  FFolder.WriteFile("units/other.service", "");
  TProgramRun run(FLoop, FFolder, {"/INSTALL", "/ServiceName=" + std::string(300, 'a')}, UniqueProduct());
  run.Manager().ManageStartup();
  EXPECT_FALSE(run.App->RunPrevented());
  EXPECT_FALSE(run.Manager().Continue());
  EXPECT_NE(run.Manager().ErrorMessage().find("Cannot examine"), std::string::npos) << run.Manager().ErrorMessage();
}

TEST_F(ProjectManagerFixture, FirstFailingStepIsReportedOnceAndTheRestSkipped) {
  TProgramRun run(FLoop, FFolder, {"/AppID=Suggested"}, UniqueProduct());
  TProjectManager& manager = run.Manager();
  std::vector<std::string> calls;
  manager.OnDataModulesCreate1 = [&](TProjectManager&, std::string&, bool&) { calls.push_back("create1"); };
  manager.OnDataModulesCreate2 = [&](TProjectManager&, const std::string& SuggestedAppID, std::string&, bool&) {
    calls.push_back("create2 " + SuggestedAppID);
  };
  manager.OnDataModulesCreate3 = [&](TProjectManager&, std::string& ErrorText, bool& Continue) {
    calls.push_back("create3");
    ErrorText = "step three failed";
    Continue = false;
  };
  manager.OnDataModulesInit = [&](TProjectManager&, std::string&, bool&) { calls.push_back("init"); };
  manager.OnGUICreate = [&](TProjectManager&, bool, std::string&, bool&) { calls.push_back("gui"); };
  manager.OnStartupError = [&](TProjectManager&, const std::string& ErrorText) { calls.push_back("error " + ErrorText); };
  manager.OnStartupComplete = [&](TProjectManager&) { calls.push_back("complete"); };
  manager.ManageStartup();
  EXPECT_EQ(calls, (std::vector<std::string> {"create1", "create2 Suggested", "create3", "error step three failed"}));
  EXPECT_FALSE(manager.Continue());
}

TEST_F(ProjectManagerFixture, RaisingStepIsCaughtAndReported) {
  TProgramRun run(FLoop, FFolder, {"-ID=First", "/AppID=Second"}, UniqueProduct());
  TProjectManager& manager = run.Manager();
  std::string suggested;
  manager.OnDataModulesCreate2 = [&](TProjectManager&, const std::string& SuggestedAppID, std::string&, bool&) {
    suggested = SuggestedAppID;
    throw std::runtime_error("out of memory");
  };
  manager.ManageStartup();
  EXPECT_EQ(suggested, "First");
  EXPECT_FALSE(manager.Continue());
  EXPECT_EQ(manager.ErrorMessage(), "out of memory");
}

}  // namespace
}  // namespace kelvane
