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

TEST(ucIpConfig, PrefersTheDefaultRouteThenAnyGlobalAddressThenTheHostName) {
  const TInterfaceAddress lo{"lo", "127.0.0.1", true};
  const TInterfaceAddress eth0{"eth0", "10.0.0.5", false};
  const TInterfaceAddress wlan0{"wlan0", "192.168.1.9", false};
  const std::vector<std::string> hostName{"127.0.1.1"};
  struct TCase {
    std::vector<TInterfaceAddress> Interfaces;
    std::string Route;
    std::string Expected;
  };
  const TCase cases[] = {
      {{lo, eth0, wlan0}, "wlan0", "192.168.1.9"},
      {{lo, eth0, wlan0}, "", "10.0.0.5"},
      {{lo, eth0, wlan0}, "tun0", "10.0.0.5"},
      {{lo}, "", "127.0.1.1"},
      {{lo}, "lo", "127.0.1.1"},
  };
  for (const TCase& c : cases) {
    const TLocalIPChoice choice = ChooseLocalIPNumber(c.Interfaces, c.Route, hostName);
    EXPECT_EQ(choice.Address, c.Expected) << c.Route;
    EXPECT_FALSE(choice.Reason.empty());
  }
  EXPECT_EQ(ChooseLocalIPNumber({lo}, "", {}).Address, "");
}

TEST(ucIpConfig, ChoosesOnThisMachineTheSameEveryTimeAndNeverALoopbackWhenThereIsAnother) {
  const std::string first = GetLocalIPNumber();
  EXPECT_EQ(GetLocalIPNumber(), first);
  const std::vector<TInterfaceAddress> interfaces = LocalIPv4Interfaces();
  const bool global = std::any_of(interfaces.begin(), interfaces.end(), [](const auto& entry) { return !entry.Loopback; });
  if (global) {
    EXPECT_FALSE(first.starts_with("127.")) << first;
  }
}

}  // namespace
}  // namespace kelvane
