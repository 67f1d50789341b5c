#include "Authority_uServer.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "TempDir.h"
#include "Tessmar_uCertificateChain.h"
#include "Tessmar_uSubmission.h"
#include "ToolInstallation.h"
#include "ucPipe.h"
#include "ucURLEncoding.h"

namespace kelvane {
namespace {

using testing::TempDir;

std::string RunTool(const std::string& commandLine) {
  std::int32_t errorCode = 0;
  std::string output;
  const TProcessStatus status = RunConsoleCommand(commandLine, errorCode, output);
  return errorCode == 0 && status.Succeeded() ? output : "";
}

class Authority : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(testing::MakeTestRoot(Root.Path()));
    TSignerOptions options;
    options.RootCertificate = Root.Path() + "root.pem";
    options.RootKey = Root.Path() + "root.key";
    options.WorkFolder = Work.Path();
    Subject = std::make_unique<TAuthority>(TCertificateSigner(options), "/certreq");
  }

  // A request made by openssl with the given extra -addext arguments.
  std::string MakeRequest(const std::string& extensions) {
    RunTool("openssl req -new -newkey rsa:2048 -nodes -keyout \"" + Root.Path() + "server.key\" -out \"" + Root.Path() +
        "server.req\" -subj /CN=reboot.example.com " + extensions);
    return testing::ReadFile(Root.Path() + "server.req");
  }

  TempDir Root;
  TempDir Work;
  std::unique_ptr<TAuthority> Subject;
};

TEST_F(Authority, SignsWithTheRootAndCopiesTheRequestedName) {
  const std::string request =
      MakeRequest("-addext subjectAltName=DNS:reboot.example.com -addext basicConstraints=critical,CA:TRUE");
  ASSERT_NE(request.find('+'), std::string::npos) << "base64 text with a plus sign makes the test meaningful";
  const TAuthorityAnswer answer =
      Subject->Answer("POST", "/certreq?x=1", "CertReq=" + EncodeURLComponent(EncodeRequestText(request)) +
                                                    "&LocalNow=45356%2E5&LocalTimeZoneBias=0&UserEMail=a%40b");
  ASSERT_EQ(answer.Status, 200) << answer.Body;
  EXPECT_EQ(answer.Body.find('\n'), std::string::npos);
  EXPECT_EQ(answer.Body.find('+'), std::string::npos);
  EXPECT_EQ(answer.Body.rfind("-----BEGIN CERTIFICATE-----{*}", 0), 0u);

  const std::string certificate = DecodeCertificateText(answer.Body);
  testing::TempDir out;
  out.WriteFile("cert.pem", certificate);
  EXPECT_NE(RunTool("openssl verify -CAfile \"" + Root.Path() + "root.pem\" \"" + out.Path() + "cert.pem\"").find(": OK"),
            std::string::npos);
  const std::string text = RunTool("openssl x509 -in \"" + out.Path() + "cert.pem\" -noout -text");
  EXPECT_NE(text.find("DNS:reboot.example.com"), std::string::npos);
  EXPECT_NE(text.find("CA:FALSE"), std::string::npos) << "a request cannot make itself an authority";
  EXPECT_EQ(text.find("CA:TRUE"), std::string::npos);
  EXPECT_TRUE(std::filesystem::is_empty(Work.Path())) << "nothing of a request stays behind";

  // The root follows the certificate, so the tool can save what the service
  // checks the certificate against.
  const std::vector<std::string> certificates = PemCertificates(certificate);
  ASSERT_EQ(certificates.size(), 2u);
  EXPECT_EQ(certificates[1], testing::ReadFile(Root.Path() + "root.pem"));
}

TEST_F(Authority, RefusalsSayError) {
  const struct {
    const char* Method;
    const char* Target;
    std::string Body;
    int Status;
  } cases[] = {
      {"POST", "/other", "CertReq=x", 404},
      {"GET", "/certreq", "", 405},
      {"POST", "/certreq", "UserEMail=a", 400},
      {"POST", "/certreq", "CertReq=not+a+request", 422},
      {"POST", "/certreq",
       "CertReq=" + EncodeURLComponent(EncodeRequestText("-----BEGIN CERTIFICATE REQUEST-----\nbroken\n"
                                                 "-----END CERTIFICATE REQUEST-----\n")),
       422},
  };
  for (const auto& test : cases) {
    const TAuthorityAnswer answer = Subject->Answer(test.Method, test.Target, test.Body);
    EXPECT_EQ(answer.Status, test.Status) << test.Target << " " << test.Body;
    EXPECT_EQ(answer.Body.rfind("error: ", 0), 0u) << answer.Body;
    EXPECT_EQ(answer.Body.find("BEGIN CERTIFICATE-----"), std::string::npos);
  }
}

}  // namespace
}  // namespace kelvane
