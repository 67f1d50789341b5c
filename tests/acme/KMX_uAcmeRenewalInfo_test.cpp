#include "KMX_uAcmeRenewalInfo.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "AcmeTestServers.h"
#include "KMX_uAcmeClient.h"
#include "KMX_uAcmeHttps.h"
#include "KMX_uAcmeKeys.h"
#include "ShellCommand.h"
#include "TempDir.h"
#include "TestPki.h"

namespace kelvane {
namespace {

using ::testing::HasSubstr;
using namespace std::chrono_literals;

TimePoint Utc(int year, int month, int day, int hour, int minute, int second) {
  TimePoint when;
  EXPECT_TRUE(TryEncodeUtc(year, month, day, hour, minute, second, when));
  return when;
}

// A CA and a certificate it signs, made with the openssl program.
class AcmeCertificateIdTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const std::string ca = "-subj /CN=Test-CA -addext subjectKeyIdentifier=" + std::string(RfcKeyId);
    Run("openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -keyout ca.key -out ca.pem -days 30 " +
        ca);
    Run("openssl req -new -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -keyout leaf.key -out leaf.csr "
        "-subj /CN=localhost");
  }

  void Run(const std::string& command) const {
    testing::ShellOutput("cd " + FFolder.Path() + " && " + command + " 2>&1");
  }

  // Signs the request with the CA; `extensions` are the lines of -extfile.
  std::string Issue(const std::string& name, const std::string& serial, const std::string& extensions) const {
    FFolder.WriteFile(name + ".cnf", extensions);
    Run("openssl x509 -req -in leaf.csr -CA ca.pem -CAkey ca.key -days 10 -set_serial " + serial + " -extfile " +
        name + ".cnf -out " + name + ".pem");
    return FFolder.Path() + name + ".pem";
  }

  // The identifier from openssl's own view of the certificate: the key
  // identifier it prints, and the DER content of the serial as openssl
  // encodes the INTEGER it prints.
  std::string ExpectedId(const std::string& file) const {
    const std::string base64url = " | openssl base64 -A | tr '+/' '-_' | tr -d '='";
    const std::string keyId = testing::ShellOutput("openssl x509 -in " + file +
                                                   " -noout -ext authorityKeyIdentifier | tail -n 1 | tr -d ' :\\n'"
                                                   " | xxd -r -p" + base64url);
    const std::string serial = testing::ShellOutput("openssl x509 -in " + file + " -noout -serial | cut -d= -f2");
    Run("openssl asn1parse -genstr INTEGER:0x" + serial + " -noout -out serial.der");
    return keyId + "." + testing::ShellOutput("tail -c +3 " + FFolder.Path() + "serial.der" + base64url);
  }

  static TX509 Load(const std::string& file) {
    std::string error;
    TX509 certificate = CertificateFromPem(testing::ReadFile(file), error);
    EXPECT_TRUE(certificate) << file << ": " << error;
    return certificate;
  }

  static constexpr char RfcKeyId[] = "69:88:5B:6B:87:46:40:41:E1:B3:7B:84:7B:A0:AE:2C:DE:01:C8:D4";
  testing::TempDir FFolder;
};

TEST_F(AcmeCertificateIdTest, KeyIdentifierDotSerialContent) {
  const std::string withKeyId = "authorityKeyIdentifier=keyid:always\n";
  const struct {
    const char* Case;
    const char* Serial;
    const char* Expected;  // empty: only what openssl gives
  } cases[] = {
      // The key identifier and serial of the example in the ACME renewal
      // information standard: the top bit set needs a leading zero byte.
      {"standard's example", "0x87654321", "aYhba4dGQEHhs3uEe6CuLN4ByNQ.AIdlQyE"},
      {"short serial without top bit", "0x0102", "aYhba4dGQEHhs3uEe6CuLN4ByNQ.AQI"},
      {"20-byte serial", "0x7fffffffffffffffffffffffffffffffffff01", ""},
  };
  int index = 0;
  for (const auto& c : cases) {
    const std::string file = Issue("leaf" + std::to_string(index++), c.Serial, withKeyId);
    TX509 certificate = Load(file);
    ASSERT_TRUE(certificate);
    std::string id, error;
    ASSERT_TRUE(AcmeCertificateId(certificate.get(), id, error)) << c.Case << ": " << error;
    EXPECT_EQ(id, ExpectedId(file)) << c.Case;
    if (*c.Expected) {
      EXPECT_EQ(id, c.Expected) << c.Case;
    }
  }
}

TEST_F(AcmeCertificateIdTest, NoAuthorityKeyIdentifierGivesNoId) {
  TX509 certificate = Load(Issue("bare", "5", "authorityKeyIdentifier=none\nsubjectKeyIdentifier=none\n"));
  ASSERT_TRUE(certificate);
  std::string id, error;
  EXPECT_FALSE(AcmeCertificateId(certificate.get(), id, error));
  EXPECT_THAT(error, HasSubstr("authority key identifier"));
}

TEST(AcmeRenewalInfo, Rfc3339Times) {
  const TimePoint noon = Utc(2026, 12, 10, 12, 0, 0);
  const struct {
    const char* Text;
    bool Valid;
    TimePoint Expected;
  } cases[] = {
      {"2026-12-10T12:00:00Z", true, noon},
      {"2026-12-10t12:00:00z", true, noon},
      {"2026-12-10 12:00:00Z", true, noon},
      {"2026-12-10T12:00:00.250Z", true, noon + 250ms},
      {"2026-12-10T12:00:00.123456789123Z", true, noon + 123456789ns},
      {"2026-12-10T14:30:00+02:30", true, noon},
      {"2026-12-10T07:00:00-05:00", true, noon},
      {"2026-12-10T11:59:60Z", true, noon},
      {"2026-12-10T12:00:00", false, {}},
      {"2026-12-10T12:00Z", false, {}},
      {"2026-12-10T12:00:00.Z", false, {}},
      {"2026-12-10T12:00:00+0200", false, {}},
      {"2026-13-10T12:00:00Z", false, {}},
      {"2026-02-30T12:00:00Z", false, {}},
      {"2026-12-10T12:00:00Z ", false, {}},
      {"", false, {}},
  };
  for (const auto& c : cases) {
    TimePoint when{};
    EXPECT_EQ(ParseRfc3339(c.Text, when), c.Valid) << c.Text;
    if (c.Valid) {
      EXPECT_EQ(when, c.Expected) << c.Text;
    }
  }
  EXPECT_EQ(FormatRfc3339(noon + 999ms), "2026-12-10T12:00:00Z");
}

TEST(AcmeRenewalInfo, SuggestedWindow) {
  const struct {
    const char* Case;
    const char* Body;
    const char* Error;  // empty: the window is read
  } cases[] = {
      {"window", R"({"suggestedWindow":{"start":"2026-12-10T12:00:00Z","end":"2026-12-11T12:00:00Z"},
                     "explanationURL":"https://ca.example/why"})", ""},
      {"no JSON", "<html>", "no suggestedWindow"},
      {"no window", R"({"explanationURL":"x"})", "no suggestedWindow"},
      {"no end", R"({"suggestedWindow":{"start":"2026-12-10T12:00:00Z"}})", "end is missing"},
      {"unreadable start", R"({"suggestedWindow":{"start":"tomorrow","end":"2026-12-11T12:00:00Z"}})",
       "start is missing"},
      {"end before start", R"({"suggestedWindow":{"start":"2026-12-11T12:00:00Z","end":"2026-12-10T12:00:00Z"}})",
       "ends before it starts"},
  };
  for (const auto& c : cases) {
    TRenewalWindow window;
    std::string error;
    EXPECT_EQ(ParseRenewalInfo(c.Body, window, error), !*c.Error) << c.Case;
    EXPECT_THAT(error, HasSubstr(c.Error)) << c.Case;
    if (!*c.Error) {
      EXPECT_EQ(window.Start, Utc(2026, 12, 10, 12, 0, 0));
      EXPECT_EQ(window.End, Utc(2026, 12, 11, 12, 0, 0));
    }
  }
}

// The client against an HTTPS server on loopback whose directory may name a
// renewalInfo resource.
TEST(AcmeRenewalInfo, ClientAsksTheRenewalInfoResource) {
  testing::TempDir folder;
  testing::TTestPkiOptions options;
  options.KeyPassphrase = "";
  const auto pki = testing::WriteTestPki(folder.Path(), options);
  std::string base;
  bool offered = true;
  testing::THttpsTestServer server(pki.Certificate, pki.Key, [&](const testing::THttpsTestRequest& request) {
    if (request.Target == "/dir") {
      std::string directory = R"({"newNonce":")" + base + R"(/nonce","newAccount":")" + base +
                              R"(/account","newOrder":")" + base + "/order\"";
      if (offered) directory += R"(,"renewalInfo":")" + base + "/renewal-info/\"";
      return testing::HttpResponse(200, "", directory + "}");
    }
    if (request.Target == "/renewal-info/aYhba4dGQEHhs3uEe6CuLN4ByNQ.AIdlQyE")
      return testing::HttpResponse(
          200, "Retry-After: 21600\r\n",
          R"({"suggestedWindow":{"start":"2026-12-10T12:00:00.5Z","end":"2026-12-11T12:00:00+00:00"}})");
    return testing::HttpResponse(404, "", R"({"type":"urn:ietf:params:acme:error:malformed","detail":"no such"})");
  });
  base = "https://localhost:" + std::to_string(server.Port());
  const TAcmeHttps https(pki.RootCertificate, 10s);
  TAcmeClient client(https, nullptr);
  std::string error;
  ASSERT_TRUE(client.LoadDirectory(base + "/dir", error)) << error;

  TRenewalWindow window;
  ASSERT_TRUE(client.FetchRenewalInfo("aYhba4dGQEHhs3uEe6CuLN4ByNQ.AIdlQyE", window, error)) << error;
  EXPECT_EQ(window.Start, Utc(2026, 12, 10, 12, 0, 0) + 500ms);
  EXPECT_EQ(window.End, Utc(2026, 12, 11, 12, 0, 0));
  EXPECT_EQ(client.LastRetryAfter(), std::chrono::seconds(21600));
  const auto requests = server.Requests();
  ASSERT_EQ(requests.size(), 2u);
  EXPECT_EQ(requests[1].Method, "GET");
  EXPECT_EQ(requests[1].Target, "/renewal-info/aYhba4dGQEHhs3uEe6CuLN4ByNQ.AIdlQyE");

  EXPECT_FALSE(client.FetchRenewalInfo("unknown.AQ", window, error));
  EXPECT_THAT(error, HasSubstr("status 404"));
  EXPECT_EQ(client.LastRetryAfter(), std::nullopt);

  offered = false;
  ASSERT_TRUE(client.LoadDirectory(base + "/dir", error)) << error;
  EXPECT_FALSE(client.FetchRenewalInfo("aYhba4dGQEHhs3uEe6CuLN4ByNQ.AIdlQyE", window, error));
  EXPECT_THAT(error, HasSubstr("offers no renewal information"));
  EXPECT_EQ(server.Requests().size(), 4u);
}

}  // namespace
}  // namespace kelvane
