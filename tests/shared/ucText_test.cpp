#include "ucText.h"

#include <gtest/gtest.h>

namespace kelvane {
namespace {

TEST(ucText, EightBitFormsBecomeUtf8AndUtf8Stays) {
  struct TCase {
    std::string_view Text;
    std::string Cp1252;  // Cp1252ToUtf8
    std::string Mixed;   // AsUtf8
    bool Utf8;
  };
  const TCase cases[] = {
      {"plain", "plain", "plain", true},
      {"J\xFCrgen \x80", "J\xC3\xBCrgen \xE2\x82\xAC", "J\xC3\xBCrgen \xE2\x82\xAC", false},
      {"J\xC3\xBCrgen", "J\xC3\x83\xC2\xBCrgen", "J\xC3\xBCrgen", true},
      // Overlong forms and surrogates are no UTF-8.
      {"\xC0\xAF", "\xC3\x80\xC2\xAF", "\xC3\x80\xC2\xAF", false},
      {"\xED\xA0\x80", "\xC3\xAD\xC2\xA0\xE2\x82\xAC", "\xC3\xAD\xC2\xA0\xE2\x82\xAC", false},
      {"\xC3", "\xC3\x83", "\xC3\x83", false},
  };
  for (const TCase& c : cases) {
    EXPECT_EQ(Cp1252ToUtf8(c.Text), c.Cp1252) << c.Text;
    EXPECT_EQ(AsUtf8(c.Text), c.Mixed) << c.Text;
    EXPECT_EQ(IsUtf8(c.Text), c.Utf8) << c.Text;
  }
}

TEST(ucText, Utf16PairsJoinAndLoneSurrogatesAreReplaced) {
  EXPECT_EQ(Utf16LEToUtf8(std::string("A\0\xFC\0\x3D\xD8\x00\xDE", 8)), "A\xC3\xBC\xF0\x9F\x98\x80");
  EXPECT_EQ(Utf16LEToUtf8(std::string("\x3D\xD8" "A\0", 4)), "\xEF\xBF\xBD" "A");
  EXPECT_EQ(Utf16LEToUtf8(std::string("A\0B", 3)), "A") << "an odd last byte is no character";
}

TEST(ucText, Utf8ToUtf16JoinsPairsAndKeepsStrayBytes) {
  EXPECT_EQ(Utf8ToUtf16LE("A"), std::string("A\0", 2));
  EXPECT_EQ(Utf8ToUtf16LE("\xC3\xB6"), std::string("\xF6\x00", 2));
  EXPECT_EQ(Utf8ToUtf16LE("\xF0\x9F\x98\x80"), std::string("\x3D\xD8\x00\xDE", 4));
  // A byte that starts no valid sequence stands for itself.
  EXPECT_EQ(Utf8ToUtf16LE("\xE9"), std::string("\xE9\x00", 2));
  EXPECT_EQ(Utf8ToUtf16LE("\xED\xA0\x80"), std::string("\xED\x00\xA0\x00\x80\x00", 6));
  EXPECT_EQ(Utf16LEToUtf8(Utf8ToUtf16LE("J\xC3\xBCrgen \xF0\x9F\x98\x80")), "J\xC3\xBCrgen \xF0\x9F\x98\x80");
}

// One U+FFFD for each malformed part: a cut-short sequence with the
// continuation bytes it took, a byte that starts nothing, an overlong form.
TEST(ucText, MalformedUtf8PartsBecomeOneReplacementEach) {
  const std::string r = "\xEF\xBF\xBD";
  struct TCase {
    std::string_view Text;
    std::string Expected;
  };
  const TCase cases[] = {
      {"J\xC3\xBCrgen \xF0\x9F\x98\x80", "J\xC3\xBCrgen \xF0\x9F\x98\x80"},
      {"a\xC3(\xFF\xE2\x82" "b", "a" + r + "(" + r + r + "b"},
      {"\xE0\x80\x80x", r + "x"},
      {"\xED\xA0\x80", r},
      {"\x80\x80", r + r},
      {"\xF0\x9F\x98", r},
  };
  for (const TCase& c : cases) EXPECT_EQ(Utf8WithReplacements(c.Text), c.Expected) << c.Text;
}

TEST(ucText, FoldsCaseBeyondAsciiAndLeavesOtherBytes) {
  EXPECT_EQ(FoldCase("ADMIN"), "admin");
  EXPECT_EQ(FoldCase("J\xC3\x9CRGEN"), "j\xC3\xBCrgen");
  EXPECT_EQ(FoldCase("\xD0\x96\xD0\xB5\xD0\xBD\xD1\x8F"), "\xD0\xB6\xD0\xB5\xD0\xBD\xD1\x8F");  // Cyrillic
  EXPECT_EQ(FoldCase("X\xFF"), "x\xFF");
}

}  // namespace
}  // namespace kelvane
