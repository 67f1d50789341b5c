#include "ServiceCheck.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "ChildProcess.h"
#include "KMX_uTOTP.h"
#include "TempDir.h"
#include "TestHttpsClient.h"

namespace kelvane::testing {

void ExpectRebootThroughTheService(const std::string& folder, const std::string& vardex, std::uint16_t port,
                                   const std::string& rootFile, const std::string& totpSecret) {
  namespace fs = std::filesystem;
  fs::copy_file(vardex, folder + "vardex");
  fs::copy(fs::path(KELVANE_SOURCE_DIR) / "Web", folder + "Web", fs::copy_options::recursive);
  fs::create_symlink("/usr/bin/openssl", folder + "openssl");
  const std::string record = folder + "power.txt";
  TChildProcess service(folder + "vardex", {"/SERVICE", "/DRYRUN=" + record}, {}, folder);
  std::string key;
  ASSERT_TRUE(totpSecret.empty() || DecodeBase32(totpSecret, key)) << totpSecret;
  // The code is computed for each try: the wait for the listener may cross
  // into the next 30-second step.
  const auto request = [&] {
    const std::string code = key.empty() ? "" : "&Code=" + TOTPCode(key, TOTPStepOf(SystemClock()()));
    return MakeRequest("POST", "/Result_Morning_Door", "UserName=Bob&Password=Crocus%3D2&Action=Reboot" + code);
  };
  THttpsReply reply;
  ASSERT_TRUE(WaitUntil([&] {
    reply = HttpsExchange(port, request(), {.RootCertificateFile = rootFile});
    return reply.Connected || !service.Running();
  })) << service.Stderr();
  EXPECT_NE(reply.Body.find("Server reboot initiated."), std::string::npos) << reply.Error << service.Stderr();
  EXPECT_TRUE(WaitUntil([&] { return ReadFile(record) == "reboot\n"; }, std::chrono::seconds(10)));
}

}  // namespace kelvane::testing
