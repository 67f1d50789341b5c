#include "KMX_uPasswordHash.h"

#include <gtest/gtest.h>

#include <string>

#include "ShellCommand.h"

namespace kelvane {
namespace {

// A hash made by the openssl program, so the check is tried against a hash
// this code did not make itself.
std::string OpensslHash(const std::string& kind, const std::string& password) {
  const std::string command = "printf '%s' '" + password + "' | openssl passwd -" + kind + " -stdin";
  return testing::ShellOutput(command);
}

TEST(PasswordHash, HashesFromTheOpensslProgramAndOwnYescryptHashesCheck) {
  std::string yescrypt, error;
  ASSERT_TRUE(HashPassword("Pass=word;1", yescrypt, error)) << error;
  EXPECT_TRUE(yescrypt.starts_with("$y$")) << yescrypt;
  std::string again;
  ASSERT_TRUE(HashPassword("Pass=word;1", again, error));
  EXPECT_NE(again, yescrypt) << "every hash gets its own salt";

  for (const std::string& stored : {yescrypt, OpensslHash("6", "Pass=word;1"), OpensslHash("5", "Pass=word;1")}) {
    SCOPED_TRACE(stored);
    ASSERT_TRUE(IsPasswordHash(stored));
    EXPECT_TRUE(CheckPassword(stored, "Pass=word;1"));
    EXPECT_FALSE(CheckPassword(stored, "Pass=word;2"));
    EXPECT_FALSE(CheckPassword(stored, "Pass=word;1 "));
    EXPECT_FALSE(CheckPassword(stored, ""));
  }
}

TEST(PasswordHash, AZeroByteNeverCutsThePasswordShort) {
  std::string hash, error;
  ASSERT_TRUE(HashPassword("right", hash, error));
  EXPECT_FALSE(CheckPassword(hash, std::string("right\0wrong", 11)));
  EXPECT_FALSE(HashPassword(std::string("a\0b", 3), hash, error));
}

TEST(PasswordHash, OtherValuesAreClearTextComparedExactly) {
  struct TCase {
    const char* Stored;
    const char* Password;
    bool Match;
  };
  const TCase cases[] = {
      {"secret", "secret", true},       {"secret", "Secret", false},   {"secret", "secre", false},
      {"$1$abc$def", "$1$abc$def", true},  // MD5 crypt is not accepted as a hash
      {"$y", "$y", true},              {"$6$broken", "x", false},     {"", "", true},
  };
  for (const TCase& c : cases) {
    EXPECT_EQ(CheckPassword(c.Stored, c.Password), c.Match) << c.Stored << " / " << c.Password;
  }
  EXPECT_FALSE(IsPasswordHash("$1$abc$def"));
  EXPECT_TRUE(IsPasswordHash("$gy$j9T$x$y"));
  EXPECT_TRUE(IsPasswordHash("$2b$05$abc"));
  EXPECT_TRUE(IsPasswordHash("$7$C6..../....abc"));
}

}  // namespace
}  // namespace kelvane
