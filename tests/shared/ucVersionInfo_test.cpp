#include "ucVersionInfo.h"

#include <gtest/gtest.h>

namespace kelvane {
namespace {

// Every test starts from a program that has registered nothing.
class ucVersionInfo : public ::testing::Test {
 protected:
  void SetUp() override { UnregisterVersionResource(); }
  void TearDown() override { UnregisterVersionResource(); }
};

TEST_F(ucVersionInfo, WithoutARegisteredResourceEverythingIsUnknown) {
  EXPECT_EQ(GetVersionInfoString("ProductName"), "Unknown");
  EXPECT_EQ(GetFileVersionText(false), "Unknown");
  EXPECT_EQ(GetFileVersionText(true), "Unknown");
}

TEST_F(ucVersionInfo, ServiceResourceAnswersItsVersionAndNames) {
  RegisterVersionResource(
      MakeVersionResource({{"ProductName", "Kelvane"}, {"ServiceName", "Vardex"}, {"DisplayName", "Kelvane"}}));
  EXPECT_EQ(GetFileVersionText(false), "4.5.0.8");
  EXPECT_EQ(GetFileVersionText(true), "4.5");
  EXPECT_EQ(GetVersionInfoString("ProductName"), "Kelvane");
  EXPECT_EQ(GetVersionInfoString("ServiceName"), "Vardex");
  EXPECT_EQ(GetVersionInfoString("DisplayName"), "Kelvane");
  EXPECT_EQ(GetVersionInfoString("servicename"), "Vardex");
}

TEST_F(ucVersionInfo, EntryTheTableLacksIsUnknown) {
  RegisterVersionResource(MakeVersionResource({{"ProductName", "Kelvane"}}));
  EXPECT_EQ(GetVersionInfoString("ProductName"), "Kelvane");
  EXPECT_EQ(GetVersionInfoString("ServiceName"), "Unknown");
  EXPECT_EQ(GetVersionInfoString(""), "Unknown");
}

TEST_F(ucVersionInfo, StringTableIsFoundByTheFirstTranslationWhateverTheCaseOfItsName) {
  TVersionResource resource;
  resource.FileVersion = TFileVersion{1, 2, 3, 4};
  resource.Translations = {{0x0409, 0x04E4}, {0x0407, 0x04B0}};
  resource.StringTables = {{"040704B0", {{"ProductName", "German"}}}, {"040904E4", {{"ProductName", "English"}}}};
  RegisterVersionResource(resource);
  EXPECT_EQ(GetVersionInfoString("ProductName"), "English");
  EXPECT_EQ(GetFileVersionText(false), "1.2.3.4");

  resource.StringTables = {{"040904e4", {{"ProductName", "lower-case table name"}}}};
  RegisterVersionResource(resource);
  EXPECT_EQ(GetVersionInfoString("ProductName"), "lower-case table name");

  resource.Translations = {{0x0407, 0x04B0}};
  RegisterVersionResource(resource);
  EXPECT_EQ(GetVersionInfoString("ProductName"), "Unknown");
}

TEST_F(ucVersionInfo, ResourceWithoutTranslationsOrFixedDataAnswersUnknown) {
  TVersionResource resource;
  resource.StringTables = {{"040904E4", {{"ProductName", "Kelvane"}}}};
  RegisterVersionResource(resource);
  EXPECT_EQ(GetVersionInfoString("ProductName"), "Unknown");
  EXPECT_EQ(GetFileVersionText(false), "Unknown");
  EXPECT_EQ(GetFileVersionText(true), "Unknown");
}

TEST_F(ucVersionInfo, RegisteredResourceIsACopy) {
  TVersionResource resource = MakeVersionResource({{"ProductName", "Kelvane"}});
  RegisterVersionResource(resource);
  resource.StringTables.front().Strings.front().Value = "changed later";
  resource.FileVersion.reset();
  EXPECT_EQ(GetVersionInfoString("ProductName"), "Kelvane");
  EXPECT_EQ(GetFileVersionText(true), "4.5");
}

}  // namespace
}  // namespace kelvane
