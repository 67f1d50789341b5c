#include "Vardex_uConfig.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <functional>
#include <fcntl.h>
#include <unistd.h>

#include <fstream>
#include <thread>

#include "TempDir.h"
#include "ucIpConfig.h"

namespace kelvane {
namespace {

using testing::TempDir;

class ConfigTest : public ::testing::Test {
 protected:
  // The file looks as if written a while ago, so that a reload reads it at
  // once instead of waiting for a writer to finish.
  std::string Write(const std::string& text) {
    const std::string path = FDir.WriteFile("Vardex.cfg", text);
    std::filesystem::last_write_time(path, std::filesystem::file_time_type::clock::now() - std::chrono::seconds(5));
    return path;
  }
  std::string Path() const { return FDir.Path() + "Vardex.cfg"; }
  std::string Problems(const std::string& sentences) const {
    return "Error(s) in configuration file '" + Path() + "'." + sentences;
  }

  TempDir FDir;
  TConfig FConfig{FDir.Path()};
  std::string FError;
};

TEST_F(ConfigTest, CreateSetsTheStartingValues) {
  EXPECT_EQ(FConfig.FApplicationFolderPath, FDir.Path());
  EXPECT_EQ(FConfig.FThisServerIPNumber, GetLocalIPNumber());
  EXPECT_EQ(FConfig.FKMXPort, 443);
  EXPECT_EQ(FConfig.FSessionTimeOut, 1200000);
  EXPECT_EQ(FConfig.FTerminateWaitTime, 5000);
  EXPECT_FALSE(FConfig.FShutdownAllowed);
  EXPECT_EQ(FConfig.FCommonName, "");
  EXPECT_EQ(FConfig.FLogFolderPath, FDir.Path() + "Logs/");
  EXPECT_EQ(FConfig.FLoginRequest.Get(), "Vardex_Login");
  EXPECT_EQ(FConfig.FMemoryBlockCount, 10);
  EXPECT_EQ(FConfig.FMemoryBlockSize, 204800u);
  EXPECT_EQ(FConfig.FMemoryAllocPeriod, 0u);
  EXPECT_TRUE(FConfig.FUserList.Load()->empty());
}

TEST_F(ConfigTest, AMissingFileIsReportedAndChangesNothing) {
  EXPECT_FALSE(FConfig.Reload(FError));
  EXPECT_EQ(FError, "Configuration file '" + Path() + "' was not found.");
  EXPECT_EQ(FConfig.FMemoryAllocPeriod, 0u);
  EXPECT_EQ(FConfig.FKMXPort, 443);
}

TEST_F(ConfigTest, TheFileNameMatchesWithoutRegardToCase) {
  FDir.WriteFile("VARDEX.cfg", "[userlist]\nAdmin=pw\n");
  EXPECT_TRUE(FConfig.Reload(FError)) << FError;
  EXPECT_TRUE(FConfig.CheckUser("admin", "pw"));
}

TEST_F(ConfigTest, AFileWithOnlyUsersGivesEveryDefault) {
  Write("[UserList]\r\nAdmin=pw\r\n");
  ASSERT_TRUE(FConfig.Reload(FError));
  EXPECT_EQ(FError, "");
  EXPECT_EQ(FConfig.FThisServerIPNumber, GetLocalIPNumber());
  EXPECT_EQ(FConfig.FKMXPort, 443);
  EXPECT_EQ(FConfig.FLogFolderPath, FDir.Path() + "Logs/");
  EXPECT_EQ(FConfig.FLoginRequest.Get(), "Vardex_Login");
  EXPECT_EQ(FConfig.FMemoryAllocPeriod, 20000u);
  EXPECT_FALSE(FConfig.FShutdownAllowed);
  EXPECT_EQ(*FConfig.FUserList.Load(), TUserList{"admin=pw"});
}

struct TValueCase {
  const char* Line;                                  // one line of [Configuration]
  std::function<std::string(const TConfig&)> Field;  // the field it sets, as text
  std::string Expected;
  std::string Problems;  // collected sentences, empty when silent
};

std::string Port(const TConfig& c) { return std::to_string(c.FKMXPort); }
std::string Address(const TConfig& c) { return c.FThisServerIPNumber; }

TEST_F(ConfigTest, EachValueIsReadCheckedAndDefaultedAsTheTableSays) {
  const TValueCase cases[] = {
      {"VardexPort=$1F90", Port, "8080", ""},
      {"VardexPort=0x1f90", Port, "8080", ""},
      {"VardexPort= 8443 ", Port, "8443", ""},
      {"VardexPort=\"8443\"", Port, "8443", ""},
      {"VardexPort=", Port, "443", ""},
      {"VardexPort=abc", Port, "443", " Wrong parameter 'VardexPort'."},
      {"VardexPort=1F90", Port, "443", " Wrong parameter 'VardexPort'."},
      {"VardexPort=70000", Port, "443", " Wrong parameter 'VardexPort'."},
      {"VardexPort=-1", Port, "443", " Wrong parameter 'VardexPort'."},
      {"VardexPort=0", Port, "443", " Wrong parameter 'VardexPort'."},
      {"ThisServerIPNumber=10.1.2.3", Address, "10.1.2.3", ""},
      {"ThisServerIPNumber=0.0.0.0", Address, "0.0.0.0", ""},
      {"ThisServerIPNumber=", Address, "", ""},
      {"SessionTimeOut=60000", [](const TConfig& c) { return std::to_string(c.FSessionTimeOut); }, "60000", ""},
      {"SessionTimeOut=1 minute", [](const TConfig& c) { return std::to_string(c.FSessionTimeOut); }, "1200000",
       " Wrong parameter 'SessionTimeOut'."},
      {"SessionTimeOut=0", [](const TConfig& c) { return std::to_string(c.FSessionTimeOut); }, "1200000",
       " Wrong parameter 'SessionTimeOut'."},
      {"SessionTimeOut=-5", [](const TConfig& c) { return std::to_string(c.FSessionTimeOut); }, "1200000",
       " Wrong parameter 'SessionTimeOut'."},
      {"TerminateWaitTime=-1", [](const TConfig& c) { return std::to_string(c.FTerminateWaitTime); }, "5000",
       " Wrong parameter 'TerminateWaitTime'."},
      {"MemoryBlockCount=3\r\nMemoryBlockSize=800000000",
       [](const TConfig& c) { return std::to_string(c.FMemoryBlockSize); }, "204800",
       " Wrong parameter 'MemoryBlockSize': the reserve may hold at most 2147483648 bytes."},
      {"TerminateWaitTime=x", [](const TConfig& c) { return std::to_string(c.FTerminateWaitTime); }, "5000",
       " Wrong parameter 'TerminateWaitTime'."},
      {"MemoryBlockCount=500", [](const TConfig& c) { return std::to_string(c.FMemoryBlockCount); }, "500", ""},
      {"MemoryBlockCount=ten", [](const TConfig& c) { return std::to_string(c.FMemoryBlockCount); }, "10",
       " Wrong parameter 'MemoryBlockCount'."},
      {"MemoryBlockSize=$400", [](const TConfig& c) { return std::to_string(c.FMemoryBlockSize); }, "1024", ""},
      {"MemoryBlockSize=-1", [](const TConfig& c) { return std::to_string(c.FMemoryBlockSize); }, "204800",
       " Wrong parameter 'MemoryBlockSize'."},
      {"MemoryAllocPeriod=-5", [](const TConfig& c) { return std::to_string(c.FMemoryAllocPeriod); }, "20000",
       " Wrong parameter 'MemoryAllocPeriod'."},
      {"MemoryAllocPeriod=", [](const TConfig& c) { return std::to_string(c.FMemoryAllocPeriod); }, "20000", ""},
      {"AllowShutdown=True", [](const TConfig& c) { return std::string(c.FShutdownAllowed ? "on" : "off"); }, "on", ""},
      {"AllowShutdown=true", [](const TConfig& c) { return std::string(c.FShutdownAllowed ? "on" : "off"); }, "off", ""},
      {"AllowShutdown='True'", [](const TConfig& c) { return std::string(c.FShutdownAllowed ? "on" : "off"); }, "on",
       ""},
      {"CommonName=Server.Example.com", [](const TConfig& c) { return c.FCommonName; }, "Server.Example.com", ""},
      {"LogFolderPath=", [](const TConfig& c) { return c.FLogFolderPath; }, "", ""},
      {"LogFolderPath=D:\\Logs", [](const TConfig& c) { return c.FLogFolderPath; }, "D:\\Logs", ""},
      {"LoginRequest=\"Secret_Path\"", [](const TConfig& c) { return c.FLoginRequest.Get(); }, "Secret_Path", ""},
      {"LoginRequest=", [](const TConfig& c) { return c.FLoginRequest.Get(); }, "", ""},
  };
  for (const TValueCase& c : cases) {
    Write(std::string("[Configuration]\r\n") + c.Line + "\r\n[UserList]\r\nAdmin=pw\r\n");
    TConfig config(FDir.Path());
    std::string error;
    EXPECT_TRUE(config.Reload(error)) << c.Line;
    EXPECT_EQ(c.Field(config), c.Expected) << c.Line;
    EXPECT_EQ(error, c.Problems.empty() ? "" : Problems(c.Problems)) << c.Line;
  }
}

TEST_F(ConfigTest, ProblemsAreCollectedInOneTextInTheOrderOfTheKeys) {
  Write(
      "[Configuration]\r\n"
      "MemoryAllocPeriod=z\r\n"
      "VardexPort=abc\r\n"
      "ThisServerIPNumber=1.2.3\r\n"
      "MemoryBlockSize=z\r\n"
      "[UserList]\r\n");
  EXPECT_FALSE(FConfig.Reload(FError));
  EXPECT_EQ(FError, Problems(" Wrong parameter 'ThisServerIPNumber': '1.2.3' is not an IPv4 address. Wrong parameter "
                             "'VardexPort'. Wrong parameter 'MemoryBlockSize'. Wrong parameter 'MemoryAllocPeriod'. No "
                             "registered users are listed."));

  Write("[Configuration]\r\nVardexPort=abc\r\n");
  EXPECT_FALSE(FConfig.Reload(FError));
  EXPECT_EQ(FError, "Error(s) in configuration file '" + FDir.Path() +
                        "Vardex.cfg'. Wrong parameter 'VardexPort'. No registered users are listed.");
}

TEST_F(ConfigTest, ChecksUsersByNameWithoutCaseAndPasswordExactly) {
  Write(
      "[UserList]\r\n"
      "Admin=Secret=With=Equals\r\n"
      "admin=second of the same name\r\n"
      "Empty=\r\n"
      "Quoted=\"  blanks kept inside quotes  \"\r\n"
      ";Root=commented out\r\n"
      "NoSeparatorLine\r\n");
  ASSERT_TRUE(FConfig.Reload(FError)) << FError;
  struct TCase {
    const char* Name;
    const char* Password;
    bool Accepted;
  };
  const TCase cases[] = {
      {"admin", "Secret=With=Equals", true},
      {"ADMIN", "Secret=With=Equals", true},
      {"Admin", "secret=with=equals", false},
      {"admin", "second of the same name", false},
      {"admin", "Secret=With=Equal", false},
      {"admin", "Secret=With=Equals ", false},
      {" admin", "Secret=With=Equals", false},
      {"admin", "", false},
      {"", "Secret=With=Equals", false},
      {"Empty", "", false},
      {"Quoted", "  blanks kept inside quotes  ", true},
      {";Root", "commented out", false},
      {"Root", "commented out", false},
      {"NoSeparatorLine", "x", false},
      {"Nobody", "Secret=With=Equals", false},
  };
  for (const TCase& c : cases) EXPECT_EQ(FConfig.CheckUser(c.Name, c.Password), c.Accepted) << c.Name << "/" << c.Password;
}

TEST_F(ConfigTest, AMistypedAddressFailsTheReadingAndChangesNothing) {
  Write("[Configuration]\r\nThisServerIPNumber=127.0.0.1\r\nVardexPort=8443\r\n[UserList]\r\nA=1\r\n");
  ASSERT_TRUE(FConfig.Reload(FError));
  for (const char* address : {"127.0.0.256", "1.2.3", "1.2.3.4.5", "1..3.4", "+1.2.3.4", "1.2.3.$FF", "010.2.3.4",
                              "host.example.com"}) {
    Write(std::string("[Configuration]\r\nThisServerIPNumber=") + address + "\r\nVardexPort=9443\r\n[UserList]\r\nB=2\r\n");
    EXPECT_FALSE(FConfig.Reload(FError)) << address;
    EXPECT_EQ(FError, Problems(std::string(" Wrong parameter 'ThisServerIPNumber': '") + address +
                               "' is not an IPv4 address."));
    EXPECT_EQ(FConfig.FThisServerIPNumber, "127.0.0.1");
    EXPECT_EQ(FConfig.FKMXPort, 8443);
    EXPECT_TRUE(FConfig.CheckUser("a", "1"));
  }
}

TEST_F(ConfigTest, WithoutAnAddressTheMachinesChoiceIsUsedAndSaidWhy) {
  TConfig config(FDir.Path(), TLocalIPChoice{"10.0.0.5", "the address of eth0"});
  Write("[Configuration]\r\n[UserList]\r\nA=1\r\n");
  ASSERT_TRUE(config.Reload(FError));
  EXPECT_EQ(config.FThisServerIPNumber, "10.0.0.5");
  EXPECT_EQ(config.FThisServerIPNumberReason, "the address of eth0");
  Write("[Configuration]\r\nThisServerIPNumber=10.0.0.5\r\n[UserList]\r\nA=1\r\n");
  ASSERT_TRUE(config.Reload(FError));
  EXPECT_EQ(config.FThisServerIPNumberReason, "");
}

TEST_F(ConfigTest, UsersBeyondAsciiAndLongPasswordsAreComparedWhole) {
  const std::string longPassword(3000, 'p');
  Write("[UserList]\r\nJ\xC3\xBCrgen=Pass\xC3\xA9word\r\n\xC3\x98ystein=" + longPassword + "\r\n");
  ASSERT_TRUE(FConfig.Reload(FError)) << FError;
  EXPECT_TRUE(FConfig.CheckUser("J\xC3\xBCrgen", "Pass\xC3\xA9word"));
  EXPECT_TRUE(FConfig.CheckUser("J\xC3\x9CRGEN", "Pass\xC3\xA9word"));
  EXPECT_FALSE(FConfig.CheckUser("J\xC3\xBCrgen", "PASS\xC3\x89WORD"));
  EXPECT_TRUE(FConfig.CheckUser("\xC3\xB8ystein", longPassword));
  EXPECT_FALSE(FConfig.CheckUser("\xC3\xB8ystein", longPassword.substr(0, 2047)));

  // The same file saved as UTF-16 (with its mark) or in code page 1252.
  std::string utf16 = "\xFF\xFE";
  for (char c : std::string("[UserList]\r\nJ\xFCrgen=\xE9\r\n")) utf16 += {c, '\0'};
  Write(utf16);
  ASSERT_TRUE(FConfig.Reload(FError)) << FError;
  EXPECT_TRUE(FConfig.CheckUser("J\xC3\xBCrgen", "\xC3\xA9"));
  Write("[UserList]\r\nJ\xFCrgen=\x80\r\n");
  ASSERT_TRUE(FConfig.Reload(FError)) << FError;
  EXPECT_TRUE(FConfig.CheckUser("J\xC3\xBCrgen", "\xE2\x82\xAC"));
}

TEST_F(ConfigTest, AHalfMillionUsersAreReadInTimeInProportionToTheirNumber) {
  std::string text = "[UserList]\r\n";
  constexpr int Users = 550000;
  for (int i = 0; i < Users; ++i) text += "user" + std::to_string(i) + "=password" + std::to_string(i) + "\r\n";
  Write(text);
  ASSERT_TRUE(FConfig.Reload(FError)) << FError;
  EXPECT_EQ(FConfig.FUserList.Load()->size(), static_cast<size_t>(Users));
  EXPECT_TRUE(FConfig.CheckUser("USER549999", "password549999"));
}

TEST_F(ConfigTest, AReloadWithoutTheAddressKeepsTheAddressInForceButResetsThePort) {
  Write("[Configuration]\r\nThisServerIPNumber=10.9.8.7\r\nVardexPort=8443\r\n[UserList]\r\nA=1\r\n");
  ASSERT_TRUE(FConfig.Reload(FError));
  Write("[Configuration]\r\n[UserList]\r\nA=1\r\n");
  ASSERT_TRUE(FConfig.Reload(FError));
  EXPECT_EQ(FConfig.FThisServerIPNumber, "10.9.8.7");
  EXPECT_EQ(FConfig.FKMXPort, 443);
}

TEST_F(ConfigTest, AReloadThatFindsNoUsersChangesNoField) {
  Write(
      "[Configuration]\r\nVardexPort=8443\r\nLoginRequest=First\r\nMemoryBlockCount=3\r\nAllowShutdown=True\r\n"
      "[UserList]\r\nAdmin=one\r\n");
  ASSERT_TRUE(FConfig.Reload(FError));
  Write(
      "[Configuration]\r\nVardexPort=9443\r\nLoginRequest=Second\r\nMemoryBlockCount=4\r\n"
      "[UserList]\r\n;Admin=two\r\n");
  EXPECT_FALSE(FConfig.Reload(FError));
  EXPECT_EQ(FError, Problems(" No registered users are listed."));
  EXPECT_EQ(FConfig.FKMXPort, 8443);
  EXPECT_EQ(FConfig.FLoginRequest.Get(), "First");
  EXPECT_EQ(FConfig.FMemoryBlockCount, 3);
  EXPECT_TRUE(FConfig.FShutdownAllowed);
  EXPECT_TRUE(FConfig.CheckUser("admin", "one"));
  EXPECT_FALSE(FConfig.CheckUser("admin", "two"));
}

TEST_F(ConfigTest, GarbageNeverBreaksTheLoader) {
  std::string binary;
  for (int i = 0; i < 4096; ++i) binary += static_cast<char>((i * 7919) & 0xFF);
  const std::string garbage[] = {
      "",
      "no sections at all\r\nAdmin=pw\r\n",
      binary,
      std::string("[UserList]\0\r\n", 13),
      "[Configuration]\r\nVardexPort=" + std::string(10 * 1024 * 1024, '9') + "\r\n",
      std::string(10 * 1024 * 1024, '[') + "\n" + std::string(1024 * 1024, '='),
  };
  for (const std::string& text : garbage) {
    Write(text);
    EXPECT_FALSE(FConfig.Reload(FError)) << text.substr(0, 40);
    EXPECT_NE(FError.find("No registered users are listed."), std::string::npos);
  }

  Write("\x01\x02\r\n[UserList]\r\n\xff\xfe\r\nAdmin=" + std::string(10 * 1024 * 1024, 'p') + "\r\n");
  ASSERT_TRUE(FConfig.Reload(FError));
  EXPECT_TRUE(FConfig.CheckUser("admin", std::string(10 * 1024 * 1024, 'p')));
  EXPECT_FALSE(FConfig.CheckUser("admin", std::string(2047, 'p')));
}

TEST_F(ConfigTest, AnOversizedFileOrAPipeIsRefusedWithoutWaiting) {
  Write("[UserList]\r\nAdmin=pw\r\n");
  std::filesystem::resize_file(Path(), 17 * 1024 * 1024);
  EXPECT_FALSE(FConfig.Reload(FError));
  EXPECT_EQ(FError.rfind("Configuration file '" + Path() + "' could not be read (", 0), 0u) << FError;
  EXPECT_EQ(FConfig.FMemoryAllocPeriod, 0u);
  EXPECT_FALSE(FConfig.CheckUser("admin", "pw"));

  std::filesystem::remove(Path());
  ASSERT_EQ(std::system(("mkfifo '" + Path() + "'").c_str()), 0);
  EXPECT_FALSE(FConfig.Reload(FError));
  EXPECT_EQ(FError, "Configuration file '" + Path() + "' was not found.");
}

TEST_F(ConfigTest, AnUnreadableFileIsReportedAndChangesNothing) {
  Write("[UserList]\r\nAdmin=pw\r\n");
  std::filesystem::permissions(Path(), std::filesystem::perms::none);
  if (std::ifstream(Path()).is_open()) GTEST_SKIP() << "this account reads files whatever their permissions";
  EXPECT_FALSE(FConfig.Reload(FError));
  EXPECT_EQ(FError.rfind("Configuration file '" + Path() + "' could not be read (", 0), 0u) << FError;
  EXPECT_EQ(FConfig.FMemoryAllocPeriod, 0u);
}

// A login check on one connection must see the user list before or after a
// reload on another, never one half rebuilt; the same holds for the login path.
TEST_F(ConfigTest, LoginChecksDuringReloadsAlwaysSeeOneWholeUserList) {
  std::string listA = "[Configuration]\r\nLoginRequest=PathA\r\n[UserList]\r\nShared=same\r\n";
  std::string listB = "[Configuration]\r\nLoginRequest=PathB\r\n[UserList]\r\n";
  for (int i = 0; i < 200; ++i) {
    listA += "alpha" + std::to_string(i) + "=a\r\n";
    listB += "beta" + std::to_string(i) + "=b\r\n";
  }
  listA += "OnlyA=a\r\n";
  listB += "Shared=same\r\n";
  Write(listA);
  ASSERT_TRUE(FConfig.Reload(FError));

  std::atomic<bool> stop{false};
  std::atomic<int> faults{0};
  std::atomic<long> checks{0};
  std::vector<std::thread> readers;
  for (int t = 0; t < 2; ++t) {
    readers.emplace_back([&] {
      while (!stop.load()) {
        if (!FConfig.CheckUser("SHARED", "same")) ++faults;
        const std::shared_ptr<const TUserList> users = FConfig.FUserList.Load();
        const bool wholeA = users->size() == 202 && users->front() == "shared=same" && users->back() == "onlya=a";
        const bool wholeB = users->size() == 201 && users->front() == "beta0=b" && users->back() == "shared=same";
        if (!wholeA && !wholeB) ++faults;
        const std::string path = FConfig.FLoginRequest.Get();
        if (path != "PathA" && path != "PathB") ++faults;
        ++checks;
      }
    });
  }
  for (int round = 0; round < 100; ++round) {
    Write(round % 2 == 0 ? listB : listA);
    std::string error;
    if (!FConfig.Reload(error)) ++faults;
  }
  stop = true;
  for (std::thread& reader : readers) reader.join();
  EXPECT_EQ(faults.load(), 0);
  EXPECT_GT(checks.load(), 0);
}

// An editor that saves in place empties the file and writes it anew in
// pieces. A reload meanwhile waits for the file to be whole, and a file that
// never settles is not taken at all.
TEST_F(ConfigTest, AFileBeingWrittenInPiecesIsReadOnceItIsWhole) {
  Write("[UserList]\r\nOld=old-password\r\n");
  ASSERT_TRUE(FConfig.Reload(FError));
  const std::string text = "[Configuration]\r\nLoginRequest=NewPath\r\n[UserList]\r\nFirst=first-password\r\n"
                           "Second=second-password\r\n";
  std::thread writer([&] {
    const int fd = ::open(Path().c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC);
    for (std::size_t at = 0; fd >= 0 && at < text.size(); at += 10) {
      (void)!::write(fd, text.data() + at, std::min<std::size_t>(10, text.size() - at));
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    if (fd >= 0) ::close(fd);
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(12));
  const bool reloaded = FConfig.Reload(FError);
  writer.join();
  ASSERT_TRUE(reloaded) << FError;
  EXPECT_EQ(*FConfig.FUserList.Load(), (TUserList{"first=first-password", "second=second-password"}));
  EXPECT_EQ(FConfig.FLoginRequest.Get(), "NewPath");
}

TEST_F(ConfigTest, AFileThatKeepsChangingIsNotReadAndChangesNothing) {
  Write("[UserList]\r\nOld=old-password\r\n");
  ASSERT_TRUE(FConfig.Reload(FError));
  std::atomic<bool> stop{false};
  std::atomic<int> writes{0};
  std::thread writer([&] {
    std::ofstream file(Path(), std::ios::app | std::ios::binary);
    while (!stop) {
      file << "New=new-password\r\n" << std::flush;
      ++writes;
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
  });
  while (writes == 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  const auto started = std::chrono::steady_clock::now();
  const bool reloaded = FConfig.Reload(FError);
  const auto took = std::chrono::steady_clock::now() - started;
  stop = true;
  writer.join();
  EXPECT_FALSE(reloaded);
  EXPECT_EQ(FError, "Configuration file '" + Path() + "' could not be read (it is still being written).");
  EXPECT_LT(took, std::chrono::seconds(5));
  EXPECT_TRUE(FConfig.CheckUser("old", "old-password"));
  EXPECT_FALSE(FConfig.CheckUser("new", "new-password"));
}

}  // namespace
}  // namespace kelvane
