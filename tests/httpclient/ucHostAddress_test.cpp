#include "ucHostAddress.h"

#include <gtest/gtest.h>

namespace kelvane {
namespace {

struct TSetValueCase {
  std::uint16_t StartPort;
  std::uint16_t DefaultPort;
  const char* Value;
  const char* HostName;
  std::uint16_t Port;
};

TEST(THostAddressTest, SetValueSplitsHostAndPort) {
  const TSetValueCase cases[] = {
      {0, 80, "example:8080", "example", 8080},
      {0, 80, "", "localhost", 80},
      {0, 80, ":8081", "localhost", 8081},
      {0, 443, "secure", "secure", 443},
      {0, 80, "host:", "host", 80},
      // A port that is not a decimal number keeps the current one, or the
      // default while there is none yet.
      {8080, 80, "host:abc", "host", 8080},
      {0, 80, "host:abc", "host", 80},
      {8080, 80, "host:-1", "host", 8080},
      // A number that does not fit a port must not wrap round to another one.
      {8080, 80, "host:70000", "host", 8080},
      {8080, 80, "host:65535", "host", 65535},
      {8080, 80, "host:0", "host", 0},
  };
  for (const auto& c : cases) {
    THostAddress host;
    host.SetPort(c.StartPort);
    host.SetAddress("192.0.2.1");
    host.SetValue(c.DefaultPort, c.Value);
    EXPECT_EQ(host.HostName(), c.HostName) << c.Value;
    EXPECT_EQ(host.Port(), c.Port) << c.Value;
    EXPECT_EQ(host.Address(), "") << c.Value;
  }
}

TEST(THostAddressTest, GetValueAddsOnlyANonDefaultPort) {
  THostAddress host;
  host.SetHostName("h");
  host.SetPort(80);
  EXPECT_EQ(host.GetValue(80), "h");
  host.SetPort(443);
  EXPECT_EQ(host.GetValue(80), "h:443");

  THostAddress byAddress;
  byAddress.SetAddress("192.0.2.7");
  byAddress.SetPort(8080);
  EXPECT_EQ(byAddress.GetValue(80), "192.0.2.7:8080");
}

TEST(THostAddressTest, HostNameKeepsItsFirst32Characters) {
  THostAddress host;
  EXPECT_EQ(host.Address(), "0.0.0.0");
  host.SetHostName(std::string(40, 'a'));
  EXPECT_EQ(host.HostName(), std::string(32, 'a'));
  EXPECT_EQ(host.HostNameShort(), std::string(32, 'a'));
  host.SetValue(80, std::string(36, 'b') + ":81");
  EXPECT_EQ(host.HostName(), std::string(32, 'b'));
  EXPECT_EQ(host.Port(), 81);
}

}  // namespace
}  // namespace kelvane
