#include "ucURLEncoding.h"

#include <gtest/gtest.h>

namespace kelvane {
namespace {

TEST(ucURLEncoding, DecodesEscapesAndKeepsBrokenOnesAsTheyStand) {
  struct TCase {
    const char* Text;
    bool PlusIsBlank;
    std::string Expected;
  };
  const TCase cases[] = {
      {"a%20b+c", true, "a b c"},
      {"a%20b+c", false, "a b+c"},
      {"%41%6a%4A", true, "AjJ"},
      {"100%", true, "100%"},
      {"%4", true, "%4"},
      {"%zz%4g", true, "%zz%4g"},
      {"%%41", true, "%A"},
      {"nul%00byte", true, std::string("nul\0byte", 8)},
      {"%E9t%E9", true, "\xE9t\xE9"},
  };
  for (const TCase& c : cases) {
    EXPECT_EQ(DecodeURLComponent(c.Text, c.PlusIsBlank), c.Expected) << c.Text;
  }
}

TEST(ucURLEncoding, EncodesAllButTheUnreservedAndDecodesBack) {
  const std::string text = "Az09-._~ /:?&=+%\xC3\xA9";
  EXPECT_EQ(EncodeURLComponent(text), "Az09-._~%20%2F%3A%3F%26%3D%2B%25%C3%A9");
  EXPECT_EQ(DecodeURLComponent(EncodeURLComponent(text), true), text);
}

TEST(ucURLEncoding, ParsesFieldsInOrderAndSkipsEmptySegments) {
  TFormFields fields;
  ParseURLEncodedFields("UserName=a+b&&Password=p%26q=r&flag&=empty&Action=", fields);
  EXPECT_EQ(fields,
            (TFormFields{{"UserName", "a b"}, {"Password", "p&q=r"}, {"flag", ""}, {"", "empty"}, {"Action", ""}}));
}

TEST(ucURLEncoding, FieldLookupIgnoresCaseAndTakesTheFirstOccurrence) {
  const TFormFields fields = {{"username", "body"}, {"Action", "Reboot"}, {"UserName", "query"}};
  EXPECT_EQ(FirstFieldValue(fields, "USERNAME"), "body");
  EXPECT_EQ(FirstFieldValue(fields, "action"), "Reboot");
  EXPECT_EQ(FirstFieldValue(fields, "Password"), "");
}

}  // namespace
}  // namespace kelvane
