#include "ucIniFileBatch.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <stdexcept>

#include "TempDir.h"
#include "ucNamedMutex.h"

namespace kelvane {
namespace {

using namespace std::chrono_literals;
using testing::ReadFile;
using testing::TempDir;

// What the configuration tool writes when the user saves, in its order.
void SaveLikeTheTool(TIniDocument& ini, const std::vector<std::string>& users) {
  ini.WriteString("Configuration", "ThisServerIPNumber", "10.0.0.5");
  ini.WriteString("Configuration", "CommonName", "host.example.com");
  ini.WriteString("Configuration", "VardexPort", "8443");
  ini.WriteString("Configuration", "LoginRequest", "Secret_Login");
  ini.RebuildSection("UserList", users);
  ini.WriteString("CertificateRequest", "Country", "US");
  ini.WriteString("CertificateRequest", "State", "");
  ini.WriteString("CertificateRequest", "Locality", "Z\xC3\xBCrich");
  ini.WriteString("CertificateRequest", "Organization", "Org");
  ini.WriteString("CertificateRequest", "OrgSection", "IT");
  ini.WriteString("CertificateRequest", "EMail", "admin@example.com");
  ini.WriteString("CertificateRequest", "Proxy", "");
  ini.WriteString("CertificateRequest", "ProxyPort", "");
}

const char* const CertificateRequestSection =
    "[CertificateRequest]\r\nCountry=US\r\nState=\r\nLocality=Z\xC3\xBCrich\r\nOrganization=Org\r\nOrgSection=IT\r\n"
    "EMail=admin@example.com\r\nProxy=\r\nProxyPort=\r\n\r\n";

// Each test's temporary folder gives its batches a lock file of their own;
// it is removed with the folder.
class IniFileBatch : public ::testing::Test {
 protected:
  void TearDown() override {
    for (const std::string& path : FLockedPaths) {
      std::filesystem::remove(TNamedMutex::LockFilePath(IniFileLockName(path)));
    }
  }
  std::string Locked(const std::string& path) {
    FLockedPaths.push_back(path);
    return path;
  }

  TempDir dir;

 private:
  std::vector<std::string> FLockedPaths;
};

std::filesystem::perms Permissions(const std::string& path) {
  return std::filesystem::status(path).permissions() & std::filesystem::perms::all;
}

TEST_F(IniFileBatch, FirstReadingCreatesTheFolderAndLeavesAnEmptyPrivateFile) {
  const std::string path = Locked(dir.Path() + "Install\\Sub\\Vardex.cfg");
  std::string error;
  std::string port = "unset";
  ASSERT_TRUE(RunIniFileBatch(path, [&](TIniDocument& ini) { port = ini.ReadString("Configuration", "VardexPort", ""); },
                              error))
      << error;
  EXPECT_EQ(error, "");
  EXPECT_EQ(port, "");
  EXPECT_EQ(ReadFile(dir.Path() + "Install/Sub/Vardex.cfg"), "");
  EXPECT_EQ(Permissions(dir.Path() + "Install/Sub/Vardex.cfg"), std::filesystem::perms::owner_read |
                                                                    std::filesystem::perms::owner_write);
}

TEST_F(IniFileBatch, NewFileGetsToolOrderAndALaterSaveMovesTheUserListToTheEnd) {
  const std::string path = Locked(dir.Path() + "Vardex.cfg");
  std::string error;
  ASSERT_TRUE(RunIniFileBatch(path, [](TIniDocument& ini) { SaveLikeTheTool(ini, {"PersonA=CrocusOne"}); }, error))
      << error;
  const std::string configuration =
      "[Configuration]\r\nThisServerIPNumber=10.0.0.5\r\nCommonName=host.example.com\r\nVardexPort=8443\r\n"
      "LoginRequest=Secret_Login\r\n\r\n";
  EXPECT_EQ(ReadFile(path),
            configuration + "[UserList]\r\nPersonA=CrocusOne\r\n\r\n" + CertificateRequestSection);

  ASSERT_TRUE(RunIniFileBatch(path, [](TIniDocument& ini) { SaveLikeTheTool(ini, {"PersonA=CrocusOne"}); }, error))
      << error;
  EXPECT_EQ(ReadFile(path),
            configuration + CertificateRequestSection + "[UserList]\r\nPersonA=CrocusOne\r\n\r\n");
}

TEST_F(IniFileBatch, SavingKeepsServiceKeysDropsCommentsAndRebuildsTheUsers) {
  const std::string path = Locked(dir.Path() + "Vardex.cfg");
  dir.WriteFile("vardex.CFG",
                "; written by hand\n"
                "[Configuration]\n"
                "; keep the session short\n"
                "SessionTimeOut = 60000\n"
                "VardexPort=443\n"
                "AllowShutdown=True\n"
                "[UserList]\n"
                "Old=User\n");
  std::string error;
  std::vector<std::string> shownUsers;
  ASSERT_TRUE(RunIniFileBatch(path, [&](TIniDocument& ini) { shownUsers = ini.ReadSectionLines("UserList"); }, error))
      << error;
  EXPECT_EQ(shownUsers, std::vector<std::string>{"Old=User"});
  // The loading batch already normalises the file.
  EXPECT_EQ(ReadFile(dir.Path() + "vardex.CFG"),
            "[Configuration]\r\nSessionTimeOut=60000\r\nVardexPort=443\r\nAllowShutdown=True\r\n\r\n"
            "[UserList]\r\nOld=User\r\n\r\n");

  ASSERT_TRUE(RunIniFileBatch(
                  path, [](TIniDocument& ini) { SaveLikeTheTool(ini, {"Admin=one", "Ren\xC3\xA9=t\xC3\xA9", "admin=two"}); },
                  error))
      << error;
  EXPECT_EQ(ReadFile(dir.Path() + "vardex.CFG"),
            "[Configuration]\r\nSessionTimeOut=60000\r\nVardexPort=8443\r\nAllowShutdown=True\r\n"
            "ThisServerIPNumber=10.0.0.5\r\nCommonName=host.example.com\r\nLoginRequest=Secret_Login\r\n\r\n"
            "[UserList]\r\nAdmin=two\r\nRen\xC3\xA9=t\xC3\xA9\r\n\r\n" +
                std::string(CertificateRequestSection));
  EXPECT_FALSE(std::filesystem::exists(dir.Path() + "Vardex.cfg")) << "the existing spelling is reused";
}

TEST_F(IniFileBatch, WidensNoPermissionsAndNarrowsLooseOnes) {
  const std::string path = Locked(dir.WriteFile("Vardex.cfg", "[UserList]\nA=secret\n"));
  std::filesystem::permissions(path, std::filesystem::perms::all);
  std::string error;
  ASSERT_TRUE(RunIniFileBatch(path, [](TIniDocument&) {}, error)) << error;
  EXPECT_EQ(Permissions(path), std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);
}

TEST_F(IniFileBatch, WaitsForTheLockAndGivesUpWithTheBusyMessage) {
  const std::string path = Locked(dir.WriteFile("Vardex.cfg", "[UserList]\nA=1\n"));
  TNamedMutex holder(IniFileLockName(path));
  std::string error;
  ASSERT_EQ(holder.Acquire(0ms, error), TLockWaitResult::Acquired) << error;

  bool ran = false;
  EXPECT_FALSE(RunIniFileBatch(path, [&](TIniDocument&) { ran = true; }, error, 50ms));
  EXPECT_EQ(error, path + " was busy for too long!");
  EXPECT_FALSE(ran);
  EXPECT_EQ(ReadFile(path), "[UserList]\nA=1\n");

  holder.Release();
  EXPECT_TRUE(RunIniFileBatch(path, [&](TIniDocument&) { ran = true; }, error, 50ms)) << error;
  EXPECT_TRUE(ran);
}

TEST_F(IniFileBatch, AFailingBatchWritesNothingAndFreesTheLock) {
  const std::string path = Locked(dir.WriteFile("Vardex.cfg", "; untouched\n[UserList]\nA=1\n"));
  std::string error;
  EXPECT_THROW(RunIniFileBatch(
                   path,
                   [](TIniDocument& ini) {
                     ini.EraseSection("UserList");
                     throw std::runtime_error("dialog failed");
                   },
                   error),
               std::runtime_error);
  EXPECT_EQ(ReadFile(path), "; untouched\n[UserList]\nA=1\n");
  EXPECT_TRUE(RunIniFileBatch(path, [](TIniDocument&) {}, error, 50ms)) << error;
}

TEST_F(IniFileBatch, AFileThatCannotBeCreatedIsReportedWithTheSystemReason) {
  dir.WriteFile("NotAFolder", "x");
  const std::string path = dir.Path() + "NotAFolder/Vardex.cfg";
  std::string error;
  EXPECT_FALSE(RunIniFileBatch(path, [](TIniDocument&) {}, error));
  const std::string prefix = path + " does not exist!\r\n";
  ASSERT_EQ(error.substr(0, prefix.size()), prefix);
  EXPECT_GT(error.size(), prefix.size()) << "the system's reason follows";
}

TEST_F(IniFileBatch, LockNameIsTheLowerCasePathWithoutSeparatorsDotsColonsAndTildes) {
  EXPECT_EQ(IniFileLockName("/Opt/Kelvane~1/Vardex.cfg"), "optkelvane1vardexcfg");
  EXPECT_EQ(IniFileLockName("/opt/Settings.INI.d/Vardex.cfg"), "optsettings");
  dir.WriteFile("Vardex.cfg", "");
  EXPECT_EQ(IniFileLockName(dir.Path() + "VARDEX.CFG"), IniFileLockName(dir.Path() + "vardex.cfg"));
}

}  // namespace
}  // namespace kelvane
