#include "MultiTypeAppCmdLine.h"

#include <gtest/gtest.h>

namespace kelvane {
namespace {

TEST(MultiTypeAppCmdLine, SwitchesMatchWithAnyPrefixAndLetterCaseButOnlyWhole) {
  struct Case {
    const char* Argument;
    bool IsInstall;
  };
  const Case cases[] = {
      {"/install", true},   {"-INSTALL", true},     {"/Install", true},   {"--install", true},
      {"/install:x", false}, {"/installer", false}, {"install", false},   {"/", false},
      {"-", false},          {"--", false},         {"---install", false},
  };
  for (const Case& c : cases) EXPECT_EQ(IsSwitch(c.Argument, "INSTALL"), c.IsInstall) << c.Argument;
  EXPECT_TRUE(HaveCommandLineSwitch({"data", "-debug"}, "/DEBUG"));
  EXPECT_TRUE(HaveCommandLineSwitch({"--Debug"}, "/DEBUG"));
  EXPECT_FALSE(HaveCommandLineSwitch({"/DEBUGGER", "debug"}, "/DEBUG"));
}

TEST(MultiTypeAppCmdLine, SwitchValueTakesTheFirstMatchAfterColonOrEquals) {
  struct Case {
    TCommandLine Args;
    bool Found;
    std::string Value;
  };
  const Case cases[] = {
      {{"/ServiceName=Main"}, true, "Main"},
      {{"-servicename:Main"}, true, "Main"},
      {{"--ServiceName=Main"}, true, "Main"},
      {{"/SERVICENAME"}, true, ""},
      {{"/ServiceName="}, true, ""},
      {{"/ServiceNameX=Main"}, false, ""},
      {{"ServiceName=Main"}, false, ""},
      {{"/ServiceName=a=b:c"}, true, "a=b:c"},
      {{"/x", "/ServiceName=First", "/ServiceName=Second"}, true, "First"},
      {{"/ServiceName=My Service"}, true, "My Service"},
  };
  for (const Case& c : cases) {
    std::string value = "unchanged";
    EXPECT_EQ(CommandLineSwitchValue(c.Args, "ServiceName", value), c.Found) << c.Args.front();
    if (c.Found) {
      EXPECT_EQ(value, c.Value) << c.Args.front();
    }
  }
}

TEST(MultiTypeAppCmdLine, ServiceCommandLineDropsTheModeSwitchesAndKeepsTheRest) {
  struct Case {
    TCommandLine Args;
    std::string Line;
  };
  const Case cases[] = {
      {{"/install", "/ServiceName=Main", "/DisplayName=Test"}, "/SERVICE /ServiceName=Main /DisplayName=Test"},
      {{"/install", "/silent", "/ServiceName=Main"}, "/SERVICE /ServiceName=Main"},
      {{"/INSTALL", "-SILENT", "/Service", "data"}, "/SERVICE data"},
      {{"--install", "--service", "--uninstall", "/DRYRUN=/tmp/power.log"}, "/SERVICE /DRYRUN=/tmp/power.log"},
      {{"/install", "/install:x", "-debug"}, "/SERVICE /install:x -debug"},
      {{"/install", "/DisplayName=Two Words"}, "/SERVICE /DisplayName=Two Words"},
      {{}, "/SERVICE"},
  };
  for (const Case& c : cases) EXPECT_EQ(BuildServiceCommandLine(c.Args), c.Line);
  EXPECT_EQ(BuildServiceArguments({"/install", "/DisplayName=Two Words"}),
            (std::vector<std::string> {"/SERVICE", "/DisplayName=Two Words"}));
}

}  // namespace
}  // namespace kelvane
