#include "ucPaths.h"

#include <gtest/gtest.h>

#include "TempDir.h"

namespace kelvane {
namespace {

using testing::TempDir;

TEST(ucPaths, ResolvesExistingComponentsIgnoringCaseAndKeepsNewOnes) {
  TempDir dir;
  dir.WriteFile("cert/wsscert.pem", "x");
  EXPECT_EQ(ResolvePath(dir.Path() + "Cert\\WSScert.pem"), dir.Path() + "cert/wsscert.pem");
  EXPECT_EQ(ResolvePath(dir.Path() + "CERT/New\\File.txt"), dir.Path() + "cert/New/File.txt");
  EXPECT_TRUE(FileExists(dir.Path() + "CERT\\WSSCERT.PEM"));
  EXPECT_FALSE(FileExists(dir.Path() + "Cert"));
  EXPECT_TRUE(DirectoryExists(dir.Path() + "CERT\\"));
}

TEST(ucPaths, ExactSpellingWinsOverAnotherCase) {
  TempDir dir;
  dir.WriteFile("Logs/a", "1");
  dir.WriteFile("logs/a", "2");
  EXPECT_EQ(ResolvePath(dir.Path() + "logs/a"), dir.Path() + "logs/a");
  EXPECT_EQ(ResolvePath(dir.Path() + "Logs/a"), dir.Path() + "Logs/a");
}

TEST(ucPaths, ForceDirectoriesReusesExistingFoldersWhateverTheirCase) {
  TempDir dir;
  dir.WriteFile("Logs/keep", "");
  ASSERT_TRUE(ForceDirectories(dir.Path() + "LOGS\\History\\"));
  EXPECT_TRUE(DirectoryExists(dir.Path() + "Logs/History"));
  EXPECT_FALSE(DirectoryExists(dir.Path() + "LOGS/../LOGS2"));
}

TEST(ucPaths, SplitsAndJoins) {
  EXPECT_EQ(ExtractFilePath("/opt/kelvane/vardex"), "/opt/kelvane/");
  EXPECT_EQ(ExtractFilePath("C:\\Service\\Vardex.exe"), "C:\\Service\\");
  EXPECT_EQ(ExtractFileName("Cert\\WSScert.pem"), "WSScert.pem");
  EXPECT_EQ(IncludeTrailingPathDelimiter("/a"), "/a/");
  EXPECT_EQ(IncludeTrailingPathDelimiter("D:\\Logs\\"), "D:\\Logs\\");
  EXPECT_EQ(ApplicationFolder().back(), '/');
}

}  // namespace
}  // namespace kelvane
