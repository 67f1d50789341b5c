// The installation folder that `cmake --install` lays out.

#include <gtest/gtest.h>

#include <filesystem>

#include "ChildProcess.h"
#include "TempDir.h"

namespace kelvane {
namespace {

namespace fs = std::filesystem;
using kelvane::testing::RunChild;
using kelvane::testing::TempDir;

TEST(VardexInstall, LaysOutOneSelfContainedFolder) {
  TempDir folder;
  const std::string prefix = folder.Path() + "kelvane";
  const auto install = RunChild(CMAKE_PROGRAM, {"--install", KELVANE_BINARY_DIR, "--prefix", prefix}, {}, folder.Path());
  ASSERT_EQ(install.Status, 0) << install.Stdout << install.Stderr;

  const fs::path root(prefix);
  EXPECT_TRUE(fs::is_regular_file(root / "vardex"));
  EXPECT_NE(fs::status(root / "vardex").permissions() & fs::perms::owner_exec, fs::perms::none);
  for (const char* folderName : {"Web", "Docs", "Cert"}) EXPECT_TRUE(fs::is_directory(root / folderName)) << folderName;
  // Nobody but the owner looks into the folder that holds the private key.
  EXPECT_EQ(fs::status(root / "Cert").permissions() & (fs::perms::group_all | fs::perms::others_all), fs::perms::none);
  if (fs::is_directory(fs::path(KELVANE_SOURCE_DIR) / "Web")) {
    for (const auto& entry : fs::directory_iterator(fs::path(KELVANE_SOURCE_DIR) / "Web")) {
      EXPECT_TRUE(fs::exists(root / "Web" / entry.path().filename())) << entry.path();
    }
  }

  ASSERT_TRUE(fs::is_symlink(root / "openssl"));
  const auto version = RunChild((root / "openssl").string(), {"version"}, {}, folder.Path());
  EXPECT_EQ(version.Status, 0);
  EXPECT_EQ(version.Stdout.rfind("OpenSSL", 0), 0u) << version.Stdout;

  const auto programVersion = RunChild((root / "vardex").string(), {"--version"}, {}, folder.Path());
  EXPECT_EQ(programVersion.Stdout, "vardex (Kelvane) 4.5.0.8\n");
}

}  // namespace
}  // namespace kelvane
