#include "ucCommandLine.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <set>

namespace kelvane {
namespace {

using ::testing::ElementsAre;
using ::testing::ElementsAreArray;

struct ArgumentCase {
  const char* Text;
  std::vector<std::string> Expected;
};

TEST(ucCommandLine, SplitsArgumentsByTheRuntimeQuotingRules) {
  const ArgumentCase cases[] = {
      {"", {}},
      {"   \t ", {}},
      {"a b\tc", {"a", "b", "c"}},
      {"  a   b  ", {"a", "b"}},
      {R"("two words" x)", {"two words", "x"}},
      {R"(pre"in side"post)", {"prein sidepost"}},
      {R"("")", {""}},
      {R"(a "" b)", {"a", "", "b"}},
      {R"("say ""hi""")", {R"(say "hi")"}},
      {R"(\"quoted\")", {R"("quoted")"}},
      {R"(a\\"b c")", {R"(a\b c)"}},
      {R"(a\\\"b)", {R"(a\"b)"}},
      {R"(C:\dir\file.pem D:\x\)", {R"(C:\dir\file.pem)", R"(D:\x\)"}},
      {R"("unterminated quote)", {"unterminated quote"}},
      {R"(-passin pass:plover)", {"-passin", "pass:plover"}},
  };
  for (const ArgumentCase& c : cases) {
    EXPECT_THAT(SplitArguments(c.Text), ElementsAreArray(c.Expected)) << "text: " << c.Text;
  }
}

TEST(ucCommandLine, UnquotedProgramWithBlanksTakesTheShortestExistingPrefix) {
  std::set<std::string> existing = {"/opt/my dir/openssl", "/opt/my dir/openssl x509 -in"};
  const auto exists = [&](const std::string& p) { return existing.count(p) > 0; };

  TCommandLine line = SplitCommandLine(R"(/opt/my dir/openssl x509 -in "/opt/my dir/c.pem")", exists);
  EXPECT_EQ(line.Program, "/opt/my dir/openssl");
  EXPECT_THAT(line.Arguments, ElementsAre("x509", "-in", "/opt/my dir/c.pem"));

  existing.insert("/opt/my");
  line = SplitCommandLine("/opt/my dir/openssl version", exists);
  EXPECT_EQ(line.Program, "/opt/my");
  EXPECT_THAT(line.Arguments, ElementsAre("dir/openssl", "version"));
}

TEST(ucCommandLine, QuotedProgramIsTakenAsWrittenWithoutLookingForPrefixes) {
  bool asked = false;
  const auto exists = [&](const std::string&) { return asked = true; };
  const TCommandLine line = SplitCommandLine(R"(  "/opt/my dir/openssl" version -a)", exists);
  EXPECT_FALSE(asked);
  EXPECT_EQ(line.Program, "/opt/my dir/openssl");
  EXPECT_THAT(line.Arguments, ElementsAre("version", "-a"));
}

TEST(ucCommandLine, WithoutAnyExistingPrefixTheFirstWordIsTheProgram) {
  const auto none = [](const std::string&) { return false; };
  TCommandLine line = SplitCommandLine("/no/such dir/prog arg", none);
  EXPECT_EQ(line.Program, "/no/such");
  EXPECT_THAT(line.Arguments, ElementsAre("dir/prog", "arg"));

  line = SplitCommandLine("", none);
  EXPECT_EQ(line.Program, "");
  EXPECT_TRUE(line.Arguments.empty());
}

TEST(ucCommandLine, TheWholeLineIsTheLastCandidate) {
  const auto exists = [](const std::string& p) { return p == "/opt/a b"; };
  const TCommandLine line = SplitCommandLine("/opt/a b", exists);
  EXPECT_EQ(line.Program, "/opt/a b");
  EXPECT_TRUE(line.Arguments.empty());
}

}  // namespace
}  // namespace kelvane
