#include "ucSocket.h"

#include <gtest/gtest.h>

namespace kelvane {
namespace {

TEST(ucSocketTest, DottedAddressesAreReadStrictly) {
  const std::pair<const char*, bool> cases[] = {
      {"127.0.0.1", true}, {"0.0.0.0", true},   {"255.255.255.255", true}, {"256.0.0.1", false},
      {"1.2.3", false},    {"", false},         {"host", false},           {" 1.2.3.4", false},
  };
  for (const auto& [text, valid] : cases) {
    TIPv4Address address;
    EXPECT_EQ(ParseIPv4(text, address), valid) << text;
    if (valid) {
      EXPECT_EQ(FormatIPv4(address), text);
    }
  }
}

TEST(ucSocketTest, LookupNameResolvesLocalNamesAndRefusesTheInvalidDomain) {
  TIPv4Address address;
  ASSERT_TRUE(LookupName("127.0.0.1", address));
  EXPECT_EQ(FormatIPv4(address), "127.0.0.1");
  ASSERT_TRUE(LookupName("localhost", address));
  EXPECT_EQ(address.Octets[0], 127);
  // Refused before any resolver is asked, so no query leaves the machine.
  for (const char* name : {"nohost.invalid", "a.b.INVALID", "x.invalid.", "invalid", ""}) {
    EXPECT_FALSE(LookupName(name, address)) << name;
  }
}

}  // namespace
}  // namespace kelvane
