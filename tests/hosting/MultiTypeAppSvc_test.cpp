#include "MultiTypeAppSvc.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <sstream>

#include "ApplicationService.h"
#include "MultiTypeAppDiagLog.h"
#include "SvcService.h"
#include "TempDir.h"
#include "ucEventLoop.h"
#include "ucPaths.h"
#include "ucText.h"

namespace kelvane {
namespace {

using kelvane::testing::ReadFile;
using kelvane::testing::TempDir;

TVersionInfoSource VardexVersionInfo() {
  TVersionInfoSource info;
  info.GetVersionInfoString = [](const std::string& Key) -> std::string {
    if (Key == "ServiceName") return "Vardex";
    if (Key == "DisplayName") return "Kelvane";
    if (Key == "ProductName") return "Kelvane";
    return UnknownVersionValue;
  };
  return info;
}

TEST(MultiTypeAppSvc, ServiceNamesComeFromSwitchesThenVersionInformationThenTheFile) {
  struct Case {
    TCommandLine Args;
    bool HasVersionInfo;
    std::string ServiceName;
    std::string DisplayName;
  };
  const Case cases[] = {
      {{}, true, "Vardex", "Kelvane"},
      {{"/install", "/ServiceName=Main", "/DisplayName=Test"}, true, "Main", "Test"},
      {{"-servicename:Main"}, true, "Main", "Kelvane"},
      {{"/DisplayName="}, true, "Vardex", "Title"},
      {{}, false, "rebooter", "Title"},
      {{"/ServiceName=Main"}, false, "Main", "Title"},
  };
  for (const Case& c : cases) {
    std::string serviceName;
    std::string displayName;
    GetServiceNames(c.Args, c.HasVersionInfo ? VardexVersionInfo() : TVersionInfoSource {}, "/opt/x/rebooter.bin",
                    "Title", serviceName, displayName);
    EXPECT_EQ(serviceName, c.ServiceName);
    EXPECT_EQ(displayName, c.DisplayName);
  }
}

// A service-capable application in a temporary folder: the program file
// (and so the diagnostic log) and the unit folder live there.
class SvcApplicationFixture : public ::testing::Test {
 protected:
  std::unique_ptr<TSvcApplication> Make(const TCommandLine& args) {
    TSvcEnvironment environment;
    environment.Args = args;
    environment.ProgramPath = FFolder.Path() + "vardex";
    environment.VersionInfo = VardexVersionInfo();
    environment.UnitFolder = UnitFolder();
    environment.UseSystemctl = false;
    environment.Out = &FOut;
    environment.Err = &FErr;
    auto application = std::make_unique<TSvcApplication>(FLoop, environment);
    application->Initialize();
    return application;
  }

  std::string UnitFolder() const { return FFolder.Path() + "units"; }
  std::string Unit(const std::string& name) const { return ReadFile(UnitFolder() + "/" + name + ".service"); }
  std::string DiagnosticLogs() const {
    std::string all;
    for (const auto& entry : std::filesystem::directory_iterator(FFolder.Path())) {
      if (entry.path().filename().string().find(".testing.") != std::string::npos) all += ReadFile(entry.path());
    }
    return all;
  }

  TempDir FFolder;
  TEventLoop FLoop;
  std::ostringstream FOut;
  std::ostringstream FErr;
};

TEST_F(SvcApplicationFixture, ModesFollowTheSwitches) {
  EXPECT_FALSE(Make({})->IsServiceMode());
  EXPECT_EQ(Make({})->ApplicationService(), nullptr);
  auto both = Make({"/install", "/uninstall"});
  EXPECT_TRUE(both->IsInstalling());
  EXPECT_TRUE(both->IsServiceMode());
  EXPECT_TRUE(Make({"--service"})->IsServiceRunning());
  auto service = Make({"/SERVICE"});
  ASSERT_NE(service->ApplicationService(), nullptr);
  EXPECT_EQ(service->ServiceName(), "Vardex");
  EXPECT_EQ(service->GetInstalledServiceName(), "Vardex");
}

TEST_F(SvcApplicationFixture, ProgramWithoutVersionInformationIsNamedAfterItsFile) {
  TSvcEnvironment environment;
  environment.Args = {"/INSTALL"};
  environment.ProgramPath = FFolder.Path() + "rebooter.bin";
  environment.UnitFolder = UnitFolder();
  environment.UseSystemctl = false;
  environment.Out = &FOut;
  environment.Err = &FErr;
  TSvcApplication application(FLoop, environment);
  application.Initialize();
  std::string serviceName;
  std::string displayName;
  GetServiceNames(environment.Args, environment.VersionInfo, environment.ProgramPath, application.Title(), serviceName,
                  displayName);
  application.SetDisplayName(displayName);
  EXPECT_EQ(application.ServiceName(), "rebooter");
  EXPECT_EQ(application.DisplayName(), "rebooter");
  std::filesystem::create_directories(UnitFolder());
  application.Run();
  EXPECT_NE(Unit("rebooter").find("Description=rebooter\n"), std::string::npos);
}

TEST_F(SvcApplicationFixture, ServiceNameMustBeAnIdentifier) {
  try {
    Make({"/SERVICE", "/ServiceName=My Service"});
    FAIL() << "no error";
  } catch (const EComponentError& e) {
    EXPECT_STREQ(e.what(), "''My Service'' is not a valid component name");
  }
  EXPECT_EQ(Make({"/SERVICE", "/ServiceName=My_Service"})->ServiceName(), "My_Service");
  EXPECT_THROW(Make({"/SERVICE", "/ServiceName=1st"}), EComponentError);
  EXPECT_EQ(Make({"/SERVICE", "/ServiceName="})->ServiceName(), "");
}

TEST_F(SvcApplicationFixture, InstallWritesTheUnitAndUninstallRemovesIt) {
  std::filesystem::create_directories(UnitFolder());
  auto installer = Make({"/install", "/ServiceName=Main", "/DisplayName=Test"});
  installer->SetDisplayName("Test");
  installer->Run();
  EXPECT_EQ(installer->ExitCode(), 0);
  EXPECT_EQ(FOut.str(), "Service installed successfully\n");
  EXPECT_EQ(FErr.str(), "");
  const std::string unit = Unit("Main");
  EXPECT_NE(unit.find("ExecStart=\"" + FFolder.Path() + "vardex\" /SERVICE /ServiceName=Main /DisplayName=Test\n"),
            std::string::npos);
  EXPECT_NE(unit.find("Description=Test\n"), std::string::npos);
  EXPECT_TRUE(installer->IsInstalled());

  // Installing over an existing registration changes nothing and leaves a
  // diagnostic line.
  FOut.str("");
  installer->InstallOrRemoveServices(true, true);
  EXPECT_EQ(installer->ExitCode(), 0);
  EXPECT_EQ(FOut.str(), "");
  EXPECT_EQ(Unit("Main"), unit);
  EXPECT_NE(DiagnosticLogs().find(Utf8ToUtf16LE("\t(info)\t\tservice is already installed\r\n")), std::string::npos);

  auto remover = Make({"/uninstall", "/ServiceName=Main", "/SILENT"});
  remover->Run();
  EXPECT_EQ(remover->ExitCode(), 0);
  EXPECT_EQ(FOut.str(), "");
  EXPECT_FALSE(FileExists(UnitFolder() + "/Main.service"));
  EXPECT_FALSE(remover->IsInstalled());
}

TEST_F(SvcApplicationFixture, FailuresAreShownEvenWhenSilentAndEndWithAFailureStatus) {
  auto remover = Make({"/uninstall", "/silent"});
  remover->SetDisplayName("Kelvane");
  remover->Run();
  EXPECT_EQ(remover->ExitCode(), 1);
  EXPECT_EQ(FOut.str(), "");
  EXPECT_EQ(FErr.str().rfind("Service \"Kelvane\" failed to uninstall with error: \"", 0), 0u) << FErr.str();

  // A unit folder that is a file cannot take the unit.
  FErr.str("");
  FFolder.WriteFile("units", "not a folder");
  auto installer = Make({"/install"});
  installer->SetDisplayName("Kelvane");
  installer->Run();
  EXPECT_EQ(installer->ExitCode(), 1);
  EXPECT_EQ(FOut.str(), "");
  EXPECT_EQ(FErr.str().rfind("Service \"Kelvane\" failed to install with error: \"", 0), 0u) << FErr.str();
  EXPECT_NE(FErr.str().find("Not a directory"), std::string::npos) << FErr.str();
}

TEST_F(SvcApplicationFixture, FacadeRunsTheServiceKindUnlessPrevented) {
  std::filesystem::create_directories(UnitFolder());
  auto kind = std::shared_ptr<TSvcApplication>(Make({"/install"}));
  TMultiTypeApplication application(kind);
  EXPECT_EQ(application.ApplicationMode(), TmtaMode::mtamWinService);
  EXPECT_FALSE(application.IsUIEnabled());
  application.PreventRun();
  application.Run();
  EXPECT_FALSE(FileExists(UnitFolder() + "/Vardex.service"));

  TMultiTypeApplication desktop(std::shared_ptr<TSvcApplication>(Make({})));
  EXPECT_EQ(desktop.ApplicationMode(), TmtaMode::mtamApp);
  EXPECT_TRUE(desktop.IsUIEnabled());
  TMultiTypeApplication empty(nullptr);
  EXPECT_EQ(empty.ApplicationMode(), TmtaMode::mtamUnknown);
  EXPECT_TRUE(empty.Terminated());
}

}  // namespace
}  // namespace kelvane
