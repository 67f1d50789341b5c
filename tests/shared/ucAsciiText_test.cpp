#include "ucAsciiText.h"

#include <gtest/gtest.h>

#include <string>

namespace kelvane {
namespace {

// Bytes outside A to Z keep their value whatever the locale: a UTF-8 "É" or a
// code page 1252 "é" must not turn into something else.
TEST(ucAsciiText, ChangesTheCaseOfAToZOnly) {
  EXPECT_EQ(LowerCaseAscii("Vardex_LOGIN-1\xC3\x89\xE9"), "vardex_login-1\xC3\x89\xE9");
  EXPECT_EQ(UpperCaseAscii("get /x?\xC3\xA9"), "GET /X?\xC3\xA9");
  EXPECT_EQ(LowerAscii('@'), '@');
  EXPECT_EQ(LowerAscii('['), '[');
}

TEST(ucAsciiText, ComparesAndFindsIgnoringCase) {
  EXPECT_TRUE(EqualsIgnoringAsciiCase("Cross-Site", "cross-site"));
  EXPECT_FALSE(EqualsIgnoringAsciiCase("cross-site", "cross-sites"));
  EXPECT_FALSE(EqualsIgnoringAsciiCase("\xC3\x89", "\xC3\xA9"));
  EXPECT_TRUE(StartsWithIgnoringAsciiCase("Content-Type: x", "CONTENT-TYPE"));
  EXPECT_FALSE(StartsWithIgnoringAsciiCase("Content", "Content-Type"));
  EXPECT_TRUE(LessIgnoringAsciiCase("history_a.log", "History_B.log"));
  EXPECT_FALSE(LessIgnoringAsciiCase("History_B.log", "history_b.log"));

  EXPECT_EQ(FindIgnoringAsciiCase("Refused: ERROR bad request", "error"), 9u);
  EXPECT_EQ(FindIgnoringAsciiCase("abc", ""), 0u);
  EXPECT_EQ(FindIgnoringAsciiCase("", ""), 0u);
  EXPECT_EQ(FindIgnoringAsciiCase("err", "error"), std::string::npos);
  EXPECT_TRUE(ContainsIgnoringAsciiCase("Unable to LOAD config", "load"));
  EXPECT_FALSE(ContainsIgnoringAsciiCase("Unable to lo ad", "load"));
}

TEST(ucAsciiText, TrimsBlanksAtBothEndsOnly) {
  EXPECT_EQ(TrimBlanks(" \t\r\n\v\fkey = value \r\n"), "key = value");
  EXPECT_EQ(TrimBlanks(" \t "), "");
  EXPECT_EQ(TrimBlanks(""), "");
  EXPECT_EQ(TrimBlanks("a\xA0"), "a\xA0") << "a no-break space is text, not a blank";
}

}  // namespace
}  // namespace kelvane
