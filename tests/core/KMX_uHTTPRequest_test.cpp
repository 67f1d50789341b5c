#include "KMX_uHTTPRequest.h"

#include <gtest/gtest.h>

namespace kelvane {
namespace {


TEST(KMX_uHTTPRequest, RecognisesTheFormContentType) {
  EXPECT_TRUE(IsURLEncodedForm("application/x-www-form-urlencoded"));
  EXPECT_TRUE(IsURLEncodedForm("Application/X-WWW-Form-Urlencoded ; charset=UTF-8"));
  EXPECT_FALSE(IsURLEncodedForm("multipart/form-data; boundary=x"));
  EXPECT_FALSE(IsURLEncodedForm(""));
}

TEST(KMX_uHTTPRequest, SplitsTheTargetIntoDecodedDocumentAndRawQuery) {
  struct TCase {
    const char* Target;
    const char* Document;
    const char* Query;
  };
  const TCase cases[] = {
      {"/Vardex_Login", "/Vardex_Login", ""},
      {"/Result_Vardex_Login?Action=Reboot&UserName=a%20b", "/Result_Vardex_Login", "Action=Reboot&UserName=a%20b"},
      {"/a%20b+c?", "/a b+c", ""},
      {"/x?q=1#fragment", "/x", "q=1"},
      {"https://server.example:8443/login?x=1", "/login", "x=1"},
      {"https://server.example", "/", ""},
      {"?x=1", "/", "x=1"},
  };
  for (const TCase& c : cases) {
    std::string document;
    std::string query;
    SplitRequestTarget(c.Target, document, query);
    EXPECT_EQ(document, c.Document) << c.Target;
    EXPECT_EQ(query, c.Query) << c.Target;
  }
}

TEST(KMX_uHTTPRequest, CrossSiteRequestsAreThoseABrowserMarksAsFromAnotherSite) {
  struct TCase {
    const char* Host;
    const char* Origin;
    const char* FetchSite;
    bool CrossSite;
  };
  const TCase cases[] = {
      {"localhost:8443", "", "", false},  // a script or curl
      {"localhost:8443", "https://localhost:8443", "same-origin", false},
      {"LocalHost", "https://localhost:443", "", false},
      {"localhost:8443", "https://evil.example", "", true},
      {"localhost:8443", "http://localhost:8443", "", true},
      {"localhost:8443", "https://localhost:9443", "", true},
      {"localhost:8443", "null", "same-origin", false},  // a form post under no-referrer
      {"localhost:8443", "null", "cross-site", true},
      {"", "https://localhost", "", true},
      {"localhost:8443", "", "cross-site", true},
      {"localhost:8443", "", "same-site", false},
      {"localhost:8443", "", "none", false},
  };
  for (const TCase& c : cases) {
    THTTPRequest request;
    request.Host = c.Host;
    request.Origin = c.Origin;
    request.SecFetchSite = c.FetchSite;
    EXPECT_EQ(IsCrossSiteRequest(request), c.CrossSite) << c.Host << " / " << c.Origin << " / " << c.FetchSite;
  }
}

}  // namespace
}  // namespace kelvane
