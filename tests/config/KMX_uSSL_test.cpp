#include "KMX_uSSL.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <vector>

#include "TempDir.h"
#include "TestPki.h"
#include "ucTime.h"

namespace kelvane {
namespace {

using testing::TempDir;
using testing::ReadFile;
using testing::WriteTestPki;

struct CommonNameCase {
  const char* Output;
  const char* CommonName;
};

TEST(KMX_uSSL, ExtractsTheCommonNameFromBothSubjectForms) {
  const std::vector<CommonNameCase> cases = {
      {"        Subject: C = US, ST = Ohio, O = Acme, CN = server.example, emailAddress = a@b.c\n", "server.example"},
      {"Subject: C=US, O=Acme, CN=server.example/emailAddress=a@b.c\r\nNext: x\n", "server.example"},
      {"Subject: CN = localhost\n", "localhost"},
      {"Subject: CN = Acme\\, Inc, O = Acme\n", "Acme\\, Inc"},
      {"Subject: CN = a, b, O = c\n", "a, b"},
      {"Subject: C = US, O = Acme\n        Issuer: CN = root\n", ""},
      {"Subject: CN=", ""},
  };
  for (const CommonNameCase& c : cases) {
    std::string name = "stale";
    EXPECT_TRUE(ExtractCommonName(c.Output, name)) << c.Output;
    EXPECT_EQ(name, c.CommonName) << c.Output;
  }
  std::string name;
  EXPECT_FALSE(ExtractCommonName("Issuer: CN = root\n", name));
}

TEST(KMX_uSSL, ReadsCertificateDatesWithOneAndTwoDigitDays) {
  TimePoint date;
  TimePoint expected;
  ASSERT_TRUE(ReadCertDate("            Not After : Jan  9 12:30:00 2014 GMT\n", "Not After :", date));
  ASSERT_TRUE(TryEncodeUtc(2014, 1, 9, 12, 30, 0, expected));
  EXPECT_EQ(date, expected);
  ASSERT_TRUE(ReadCertDate("Not Before: Dec 10 00:30:05 2026 GMT\n", "Not Before:", date));
  ASSERT_TRUE(TryEncodeUtc(2026, 12, 10, 0, 30, 5, expected));
  EXPECT_EQ(date, expected);
  EXPECT_FALSE(ReadCertDate("Not Before: Dec 10 00:30:05 2026 GMT\n", "Not After :", date));
}

// Found by fuzzing: a year outside what TimePoint holds overflowed while the
// date was converted. Certificates do carry such years ("no expiry" is
// 9999-12-31); they read as the earliest or latest moment, in order.
TEST(KMX_uSSL, CertificateDatesBeyondTheClockRangeAreHeldAtItsEnds) {
  TimePoint date;
  ASSERT_TRUE(ReadCertDate("            Not Before: Jan  9 12:30:00 2   ", "Not Before:", date));
  EXPECT_EQ(date, TimePoint::min());
  ASSERT_TRUE(ReadCertDate("Not After : Dec 31 23:59:59 9999 GMT\n", "Not After :", date));
  EXPECT_EQ(date, TimePoint::max());
  ASSERT_TRUE(ReadCertDate("Not After : Apr 11 23:47:16 2262 GMT\n", "Not After :", date));
  EXPECT_EQ(date, TimePoint::max());
  // The last whole seconds inside the range are still exact.
  TimePoint expected;
  ASSERT_TRUE(TryEncodeUtc(2262, 4, 11, 23, 47, 15, expected));
  EXPECT_LT(expected, TimePoint::max());
  ASSERT_TRUE(TryEncodeUtc(1677, 9, 21, 0, 12, 45, expected));
  EXPECT_GT(expected, TimePoint::min());
}

TEST(KMX_uSSL, UnreadableCertificateDatesAreRaised) {
  TimePoint date;
  for (const char* output : {"Not After : Foo  9 12:30:00 2014 GMT", "Not After : Jan 32 12:30:00 2014 GMT",
                             "Not After : Feb 30 12:30:00 2014 GMT", "Not After : Jan  9 25:30:00 2014 GMT",
                             "Not After : Jan  9 12:30:00 GMT", "Not After : Jan", "Not After :"}) {
    EXPECT_THROW(ReadCertDate(output, "Not After :", date), ECertDateError) << output;
  }
}

// The checks run against the real openssl program on a test PKI.
class KMX_uSSLChecks : public ::testing::Test {
 protected:
  void SetUp() override {
    WriteTestPki(Dir.Path() + "Cert/");
    ASSERT_EQ(::symlink("/usr/bin/openssl", (Dir.Path() + "openssl").c_str()), 0);
    ASSERT_TRUE(Checks.CheckOpenSSLFolder(Dir.Path()));
  }

  TempDir Dir;
  std::vector<std::string> Errors;
  TCertificateChecks Checks{[this](std::string_view line) { Errors.emplace_back(line); }};
};

TEST_F(KMX_uSSLChecks, GoodFilesPass) {
  EXPECT_TRUE(Checks.CheckCert("Cert\\CAcert.pem"));
  EXPECT_TRUE(Checks.CheckCert("CERT\\WSScert.pem"));
  EXPECT_TRUE(Checks.CheckKey("Cert\\WSSkey.pem", "plover"));
  TimePoint notBefore, notAfter;
  std::string commonName;
  ASSERT_TRUE(Checks.GetCertValues("Cert\\WSScert.pem", notBefore, notAfter, commonName));
  EXPECT_EQ(commonName, "localhost");
  EXPECT_LT(notBefore, std::chrono::system_clock::now() + std::chrono::minutes(1));
  EXPECT_GT(notAfter, std::chrono::system_clock::now());
  EXPECT_TRUE(Checks.CheckSignRootServer("Cert\\CAcert.pem", "Cert\\WSScert.pem"));
  EXPECT_TRUE(Errors.empty());
}

TEST_F(KMX_uSSLChecks, BrokenFilesFail) {
  Dir.WriteFile("Cert/empty.pem", "");
  Dir.WriteFile("Cert/garbage.pem", "-----BEGIN CERTIFICATE-----\nnot base64\n-----END CERTIFICATE-----\n");
  EXPECT_FALSE(Checks.CheckCert("Cert\\empty.pem"));
  EXPECT_FALSE(Checks.CheckCert("Cert\\garbage.pem"));
  EXPECT_FALSE(Checks.CheckCert("Cert\\missing.pem"));
  EXPECT_FALSE(Checks.CheckKey("Cert\\WSSkey.pem", "wrong"));
  EXPECT_FALSE(Checks.CheckKey("Cert\\garbage.pem", "plover"));
  EXPECT_FALSE(Checks.CheckKey("Cert\\missing.pem", "plover"));
  TimePoint notBefore, notAfter;
  std::string commonName;
  EXPECT_FALSE(Checks.GetCertValues("Cert\\garbage.pem", notBefore, notAfter, commonName));
  // Nothing was started for the missing files, and openssl did start for the rest.
  EXPECT_TRUE(Errors.empty());
}

TEST_F(KMX_uSSLChecks, ServerCertificateOfAnotherAuthorityFailsTheSignerCheck) {
  const auto foreign = WriteTestPki(Dir.Path() + "Foreign/", {.ForeignAuthority = true});
  Dir.WriteFile("Cert/other.pem", ReadFile(foreign.Certificate));
  EXPECT_FALSE(Checks.CheckSignRootServer("Cert\\CAcert.pem", "Cert\\other.pem"));
  EXPECT_FALSE(Checks.CheckSignRootServer("Cert\\CAcert.pem", "Cert\\none.pem"));
  ASSERT_EQ(Errors.size(), 1u);
  EXPECT_EQ(Errors[0], "CheckSignRootServer: File not found: " + Dir.Path() + "Cert/none.pem");
}

TEST(KMX_uSSLFolder, NeedsTheProgramInTheFolder) {
  TempDir dir;
  TCertificateChecks checks{[](std::string_view) {}};
  EXPECT_FALSE(checks.CheckOpenSSLFolder(dir.Path() + "sub"));
  EXPECT_EQ(checks.OpenSSLFolder(), dir.Path() + "sub/");
}

// After one time-out the rest of the series fails at once: each check waiting
// out its own time-out would make a start with a hanging openssl last minutes.
TEST(KMX_uSSLFolder, AProgramThatHangsIsStoppedAndTheLaterChecksFailAtOnce) {
  TempDir dir;
  const std::string runs = dir.Path() + "runs";
  const std::string fake = dir.WriteFile("openssl", "#!/bin/sh\necho run >> '" + runs + "'\nsleep 30\n");
  ::chmod(fake.c_str(), 0755);
  dir.WriteFile("Cert/WSScert.pem", "x");
  std::vector<std::string> errors;
  TCertificateChecks checks{[&](std::string_view line) { errors.emplace_back(line); }, std::chrono::milliseconds(300)};
  ASSERT_TRUE(checks.CheckOpenSSLFolder(dir.Path()));
  const auto started = std::chrono::steady_clock::now();
  EXPECT_FALSE(checks.CheckCert("Cert\\WSScert.pem"));
  EXPECT_FALSE(checks.CheckKey("Cert\\WSScert.pem", "plover"));
  TimePoint notBefore, notAfter;
  std::string commonName;
  EXPECT_FALSE(checks.GetCertValues("Cert\\WSScert.pem", notBefore, notAfter, commonName));
  EXPECT_FALSE(checks.CheckSignRootServer("Cert\\WSScert.pem", "Cert\\WSScert.pem"));
  EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(10));
  EXPECT_EQ(ReadFile(runs), "run\n");
  const std::string timedOut = " ErrorCode=" + std::to_string(ETIMEDOUT);
  EXPECT_EQ(errors, (std::vector<std::string>{"CheckCert" + timedOut, "CheckKey" + timedOut, "GetCertValues" + timedOut}));
}

TEST(KMX_uSSLFolder, GarbageOutputFailsEveryCheck) {
  TempDir dir;
  const std::string fake = dir.WriteFile("openssl", "#!/bin/sh\necho 'Subject: garbage'\nexit 1\n");
  ::chmod(fake.c_str(), 0755);
  dir.WriteFile("Cert/a.pem", "x");
  TCertificateChecks checks{[](std::string_view) {}};
  ASSERT_TRUE(checks.CheckOpenSSLFolder(dir.Path()));
  TimePoint notBefore, notAfter;
  std::string commonName;
  EXPECT_FALSE(checks.CheckCert("Cert\\a.pem"));
  EXPECT_FALSE(checks.CheckKey("Cert\\a.pem", "plover"));
  EXPECT_FALSE(checks.GetCertValues("Cert\\a.pem", notBefore, notAfter, commonName));
  EXPECT_FALSE(checks.CheckSignRootServer("Cert\\a.pem", "Cert\\a.pem"));
}

}  // namespace
}  // namespace kelvane
