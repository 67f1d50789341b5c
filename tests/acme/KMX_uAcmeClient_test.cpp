#include "KMX_uAcmeClient.h"

#include <gtest/gtest.h>

namespace kelvane {
namespace {

TEST(AcmeFailure, OnlyAServersRefusalForGoodIsPermanent) {
  constexpr char Error[] = "urn:ietf:params:acme:error:";
  const struct {
    int Status;
    std::string Type;
    TAcmeFailure Expected;
  } cases[] = {
      {404, "", TAcmeFailure::Permanent},
      {403, std::string(Error) + "unauthorized", TAcmeFailure::Permanent},
      {400, std::string(Error) + "rejectedIdentifier", TAcmeFailure::Permanent},
      {400, std::string(Error) + "malformed", TAcmeFailure::Permanent},
      {400, std::string(Error) + "badNonce", TAcmeFailure::Passing},
      {429, std::string(Error) + "rateLimited", TAcmeFailure::Passing},
      {429, "", TAcmeFailure::Passing},
      {403, std::string(Error) + "rateLimited", TAcmeFailure::Passing},
      {500, std::string(Error) + "serverInternal", TAcmeFailure::Passing},
      {503, "", TAcmeFailure::Passing},
      {0, "", TAcmeFailure::Passing},
  };
  for (const auto& c : cases)
    EXPECT_EQ(ClassifyAcmeAnswer(c.Status, c.Type), c.Expected) << c.Status << " " << c.Type;
}

}  // namespace
}  // namespace kelvane
