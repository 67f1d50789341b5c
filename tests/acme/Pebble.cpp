#include "Pebble.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <thread>

#include "AcmeTestServers.h"
#include "KMX_uAcmeHttps.h"
#include "TempDir.h"
#include "TestServiceFolder.h"
#include "TestPki.h"

namespace kelvane::testing {

namespace {

constexpr char PebbleProgram[] = "/usr/bin/pebble";

std::string Loopback(std::uint16_t port) { return "127.0.0.1:" + std::to_string(port); }

}  // namespace

TPebble::TPebble(const std::string& folder) : FFolder(folder) {
  TTestPkiOptions options;
  options.KeyPassphrase = "";
  const TTestPkiFiles files = WriteTestPki(FFolder, options);
  FHttpsRoot = files.RootCertificate;
  FRootsFile = FFolder + "roots.pem";
  FPort = FreeLoopbackPort();
  FManagementPort = FreeLoopbackPort();
  FCertificate = files.Certificate;
  FKey = files.Key;
}

TPebble::~TPebble() { Stop(); }

bool TPebble::Installed() { return ::access(PebbleProgram, X_OK) == 0; }

std::string TPebble::DirectoryUrl() const { return "https://" + Loopback(FPort) + "/dir"; }

std::string TPebble::Output() const { return ReadFile(FFolder + "pebble.log"); }

bool TPebble::Start(std::uint16_t tlsAlpnPort, std::uint16_t httpPort, std::string& error) {
  const std::string config = FFolder + "pebble-config.json";
  std::ofstream(config) << "{\"pebble\": {\"listenAddress\": \"" << Loopback(FPort)
                        << "\", \"managementListenAddress\": \"" << Loopback(FManagementPort)
                        << "\", \"certificate\": \"" << FCertificate << "\", \"privateKey\": \"" << FKey
                        << "\", \"httpPort\": " << httpPort << ", \"tlsPort\": " << tlsAlpnPort
                        << ", \"ocspResponderURL\": \"\", \"externalAccountBindingRequired\": false}}\n";
  const std::string log = FFolder + "pebble.log";
  FPid = ::fork();
  if (FPid == 0) {
    const int out = ::open(log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
    ::dup2(out, STDOUT_FILENO);
    ::dup2(out, STDERR_FILENO);
    ::setenv("PEBBLE_VA_NOSLEEP", "1", 1);
    // Every order must be validated, so each test sees its own challenge.
    ::setenv("PEBBLE_AUTHZREUSE", "0", 1);
    ::execl(PebbleProgram, PebbleProgram, "-config", config.c_str(), static_cast<char*>(nullptr));
    ::_exit(127);
  }
  // Pebble makes a new root at every start; the test trusts the current one.
  const TAcmeHttps https(FHttpsRoot, std::chrono::seconds(5));
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  TAcmeHttpReply reply;
  while (std::chrono::steady_clock::now() < deadline) {
    std::string ignored;
    if (https.Request(THttpMethod::Get, DirectoryUrl(), {}, reply, ignored) && reply.Status == 200 &&
        https.Request(THttpMethod::Get, "https://" + Loopback(FManagementPort) + "/roots/0", {}, reply, ignored) &&
        reply.Status == 200) {
      std::ofstream(FRootsFile) << ReadFile(FHttpsRoot) << reply.Body;
      return true;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  error = "pebble did not come up:\n" + Output();
  return false;
}

void TPebble::Stop() {
  if (FPid <= 0) return;
  ::kill(FPid, SIGKILL);
  ::waitpid(FPid, nullptr, 0);
  FPid = -1;
}

}  // namespace kelvane::testing
