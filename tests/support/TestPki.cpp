#include "TestPki.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <stdexcept>

#include "TempDir.h"

namespace kelvane::testing {
namespace {

std::string Quote(const std::string& text) {
  std::string quoted = "'";
  for (char c : text) {
    if (c == '\'') {
      quoted += "'\\''";
    } else {
      quoted += c;
    }
  }
  return quoted + "'";
}

const char* const KeyFiles[] = {"root.key", "root.pem", "foreign.key", "foreign.pem", "server.key"};

// The keys and certificates made so far in this process.
class TPkiCache {
 public:
  TPkiCache() {
    FConfig = FWork.WriteFile("openssl.cnf",
                              "[req]\n"
                              "distinguished_name = dn\n"
                              "[dn]\n"
                              "[root]\n"
                              "basicConstraints = critical,CA:TRUE\n"
                              "keyUsage = critical,keyCertSign,cRLSign\n"
                              "subjectKeyIdentifier = hash\n");
    // RSA keys are the slow part. Test processes of one build share them
    // through the build folder; without one, each process makes its own.
    const char* buildDir = std::getenv("KELVANE_BUILD_DIR");
    if (buildDir == nullptr || *buildDir == '\0') {
      MakeKeys(FWork.Path());
      return;
    }
    const std::string shared = std::string(buildDir) + "/testpki/";
    std::filesystem::create_directories(shared);
    const int lock = ::open((shared + ".lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (lock >= 0) ::flock(lock, LOCK_EX);
    if (!std::filesystem::exists(shared + "complete")) {
      MakeKeys(shared);
      FWork.WriteFile("complete", "");
      std::filesystem::copy_file(Path("complete"), shared + "complete", std::filesystem::copy_options::overwrite_existing);
    }
    if (lock >= 0) ::close(lock);
    for (const char* name : KeyFiles) {
      std::filesystem::copy_file(shared + name, Path(name), std::filesystem::copy_options::overwrite_existing);
    }
  }

  std::string Path(const std::string& name) const { return FWork.Path() + name; }

  // The key file encrypted with `passphrase` (or plain when empty).
  std::string KeyFile(const std::string& passphrase) {
    if (passphrase == KeyPassphrase) return Path("server.key");
    const std::string name = "server-" + std::to_string(FKeys.size()) + ".key";
    auto [it, added] = FKeys.emplace(passphrase, name);
    if (added) {
      std::string command = "openssl pkey -in " + Quote(Path("server.key")) + " -passin pass:" + KeyPassphrase +
                            " -out " + Quote(Path(name));
      if (!passphrase.empty()) command += " -aes256 -passout " + Quote("pass:" + passphrase);
      Run(command);
    }
    return Path(it->second);
  }

  std::string CertificateFile(const TTestPkiOptions& options) {
    const std::string key = options.Subject + '\n' + options.SubjectAltName + '\n' +
                            (options.ForeignAuthority ? "foreign" : "root") + '\n' + std::to_string(options.Days);
    auto [it, added] = FCertificates.emplace(key, "server-" + std::to_string(FCertificates.size()) + ".pem");
    if (!added) return Path(it->second);
    const std::string authority = options.ForeignAuthority ? "foreign" : "root";
    std::string extensions =
        "[server]\n"
        "basicConstraints = CA:FALSE\n"
        "keyUsage = critical,digitalSignature,keyEncipherment\n"
        "extendedKeyUsage = serverAuth\n";
    if (!options.SubjectAltName.empty()) extensions += "subjectAltName = " + options.SubjectAltName + "\n";
    const std::string extensionFile = FWork.WriteFile(it->second + ".ext", extensions);
    const std::string request = Path(it->second + ".csr");
    Run("openssl req -new -config " + Quote(FConfig) + " -key " + Quote(Path("server.key")) + " -passin pass:" +
        KeyPassphrase + " -subj " + Quote(options.Subject) + " -out " + Quote(request));
    Run("openssl x509 -req -in " + Quote(request) + " -CA " + Quote(Path(authority + ".pem")) + " -CAkey " +
        Quote(Path(authority + ".key")) + " -set_serial " + std::to_string(++FSerial) + " -days " +
        std::to_string(options.Days) + " -sha256 -extfile " + Quote(extensionFile) + " -extensions server -out " +
        Quote(Path(it->second)));
    return Path(it->second);
  }

 private:
  void MakeKeys(const std::string& folder) const {
    MakeRoot(folder, "root", "/O=Kelvane Test/CN=Kelvane Test Root");
    MakeRoot(folder, "foreign", "/O=Elsewhere Test/CN=Elsewhere Test Root");
    Run("openssl genrsa -aes256 -passout pass:" + std::string(KeyPassphrase) + " -out " +
        Quote(folder + "server.key") + " 2048");
  }

  void MakeRoot(const std::string& folder, const std::string& name, const std::string& subject) const {
    Run("openssl genrsa -out " + Quote(folder + name + ".key") + " 2048");
    Run("openssl req -x509 -new -config " + Quote(FConfig) + " -extensions root -key " + Quote(folder + name + ".key") +
        " -sha256 -days 3650 -subj " + Quote(subject) + " -set_serial 1 -out " + Quote(folder + name + ".pem"));
  }

  void Run(const std::string& command) const {
    const std::string log = Path("openssl.log");
    if (std::system((command + " >" + Quote(log) + " 2>&1").c_str()) != 0) {
      throw std::runtime_error("openssl failed: " + command + "\n" + ReadFile(log));
    }
  }

  TempDir FWork;
  std::string FConfig;
  std::map<std::string, std::string> FKeys;
  std::map<std::string, std::string> FCertificates;
  long FSerial = 1000;
};

void CopyFile(const std::string& from, const std::string& to) {
  std::filesystem::copy_file(from, to, std::filesystem::copy_options::overwrite_existing);
}

}  // namespace

TTestPkiFiles WriteTestPki(const std::string& folder, const TTestPkiOptions& options) {
  static std::mutex mutex;
  static std::unique_ptr<TPkiCache> cache;
  std::lock_guard lock(mutex);
  if (!cache) cache = std::make_unique<TPkiCache>();

  std::string base = folder;
  if (base.empty() || base.back() != '/') base += '/';
  std::filesystem::create_directories(base);
  TTestPkiFiles files{base + "CAcert.pem", base + "WSScert.pem", base + "WSSkey.pem"};
  CopyFile(cache->Path("root.pem"), files.RootCertificate);
  CopyFile(cache->CertificateFile(options), files.Certificate);
  CopyFile(cache->KeyFile(options.KeyPassphrase), files.Key);
  return files;
}

}  // namespace kelvane::testing
