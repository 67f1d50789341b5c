#include "ucIpConfig.h"

#include <gtest/gtest.h>

#include <algorithm>

#include "ucHostAddress.h"

namespace kelvane {
namespace {

TEST(ucIpConfig, ResolvesNamesToIPv4AddressesOnly) {
  const std::vector<std::string> local = ResolveIPv4Addresses("localhost");
  EXPECT_NE(std::find(local.begin(), local.end(), "127.0.0.1"), local.end());
  EXPECT_EQ(ResolveIPv4Addresses("192.0.2.7"), std::vector<std::string>{"192.0.2.7"});
  EXPECT_TRUE(ResolveIPv4Addresses("::1").empty()) << "an IPv6 address has no IPv4 form";
  EXPECT_TRUE(ResolveIPv4Addresses("").empty());
}

TEST(ucIpConfig, GivesTheFirstAddressOfTheOwnHostNameTheSameEveryTime) {
  const std::string first = GetLocalIPNumber();
  EXPECT_EQ(GetLocalIPNumber(), first);
  const std::vector<std::string> own = ResolveIPv4Addresses(LocalHostName());
  EXPECT_EQ(first, own.empty() ? std::string() : own.front());
}

}  // namespace
}  // namespace kelvane
