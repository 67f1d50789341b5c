#include "KMX_uAcmeCertificateState.h"

#include <gtest/gtest.h>

#include "TempDir.h"
#include "TestPki.h"

namespace kelvane {
namespace {

using std::chrono::hours;

struct TCase {
  const char* Case;
  std::string Subject;
  std::string AltName;
  const char* Host;
  TCertificateNeed Need;
};

TEST(CertificateState, MissingOtherHostDueOrCurrent) {
  const TimePoint now = std::chrono::system_clock::now();
  testing::TempDir folder;
  EXPECT_EQ(AssessCertificate(folder.Path() + "none.pem", "localhost", std::nullopt, now).Need,
            TCertificateNeed::Missing);
  EXPECT_EQ(AssessCertificate(folder.WriteFile("empty.pem", ""), "localhost", std::nullopt, now).Need,
            TCertificateNeed::Missing);

  const TCase cases[] = {
      {"common name", "/CN=localhost", "", "LocalHost", TCertificateNeed::Current},
      {"name only in subjectAltName", "/O=Short lived", "DNS:a.example,DNS:host.example", "host.example",
       TCertificateNeed::Current},
      {"another host", "/CN=other.example", "DNS:other.example", "host.example", TCertificateNeed::OtherHost},
      {"an address is no DNS name", "/O=x", "IP:127.0.0.1", "127.0.0.1", TCertificateNeed::OtherHost},
  };
  int index = 0;
  for (const auto& c : cases) {
    testing::TTestPkiOptions options;
    options.Subject = c.Subject;
    options.SubjectAltName = c.AltName;
    options.Days = 90;
    const auto files = testing::WriteTestPki(folder.Path() + std::to_string(index++) + "/", options);
    const TCertificateState state = AssessCertificate(files.Certificate, c.Host, std::nullopt, now);
    EXPECT_EQ(state.Need, c.Need) << c.Case << ": " << state.Reason;
    if (c.Need == TCertificateNeed::Current) {
      // Ninety days: due after sixty, or ten days before expiry when asked.
      EXPECT_EQ(std::chrono::duration_cast<hours>(state.NotAfter - state.NotBefore), hours(90 * 24)) << c.Case;
      EXPECT_EQ(state.RenewAt, state.NotAfter - hours(30 * 24)) << c.Case;
      EXPECT_EQ(AssessCertificate(files.Certificate, c.Host, std::nullopt, state.RenewAt).Need, TCertificateNeed::Due);
      EXPECT_EQ(AssessCertificate(files.Certificate, c.Host, 10, state.RenewAt).Need, TCertificateNeed::Current);
      EXPECT_EQ(AssessCertificate(files.Certificate, c.Host, 10, state.NotAfter - hours(240)).Need,
                TCertificateNeed::Due);
    }
  }
}

}  // namespace
}  // namespace kelvane
