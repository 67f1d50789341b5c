#include "ucUtf16.h"

#include <gtest/gtest.h>

namespace kelvane {
namespace {

TEST(ucUtf16, ConvertsAsciiSurrogatePairsAndStrayBytes) {
  EXPECT_EQ(Utf8ToUtf16LE("A"), std::string("A\0", 2));
  EXPECT_EQ(Utf8ToUtf16LE("\xC3\xB6"), std::string("\xF6\x00", 2));
  EXPECT_EQ(Utf8ToUtf16LE("\xF0\x9F\x98\x80"), std::string("\x3D\xD8\x00\xDE", 4));
  // A byte that starts no valid sequence stands for itself.
  EXPECT_EQ(Utf8ToUtf16LE("\xE9"), std::string("\xE9\x00", 2));
  EXPECT_EQ(Utf8ToUtf16LE("\xED\xA0\x80"), std::string("\xED\x00\xA0\x00\x80\x00", 6));
}

}  // namespace
}  // namespace kelvane
