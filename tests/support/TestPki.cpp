#include "TestPki.h"

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
    MakeRoot("root", "/O=Kelvane Test/CN=Kelvane Test Root");
    MakeRoot("foreign", "/O=Elsewhere Test/CN=Elsewhere Test Root");
    Run("openssl genrsa -aes256 -passout pass:" + std::string(TestKeyPassphrase) + " -out " +
        Quote(Path("server.key")) + " 2048");
  }

  std::string Path(const std::string& name) const { return FWork.Path() + name; }

  // The key file encrypted with `passphrase` (or plain when empty).
  std::string KeyFile(const std::string& passphrase) {
    if (passphrase == TestKeyPassphrase) return Path("server.key");
    const std::string name = "server-" + std::to_string(FKeys.size()) + ".key";
    auto [it, added] = FKeys.emplace(passphrase, name);
    if (added) {
      std::string command = "openssl pkey -in " + Quote(Path("server.key")) + " -passin pass:" + TestKeyPassphrase +
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
        TestKeyPassphrase + " -subj " + Quote(options.Subject) + " -out " + Quote(request));
    Run("openssl x509 -req -in " + Quote(request) + " -CA " + Quote(Path(authority + ".pem")) + " -CAkey " +
        Quote(Path(authority + ".key")) + " -set_serial " + std::to_string(++FSerial) + " -days " +
        std::to_string(options.Days) + " -sha256 -extfile " + Quote(extensionFile) + " -extensions server -out " +
        Quote(Path(it->second)));
    return Path(it->second);
  }

 private:
  void MakeRoot(const std::string& name, const std::string& subject) {
    Run("openssl genrsa -out " + Quote(Path(name + ".key")) + " 2048");
    Run("openssl req -x509 -new -config " + Quote(FConfig) + " -extensions root -key " + Quote(Path(name + ".key")) +
        " -sha256 -days 3650 -subj " + Quote(subject) + " -set_serial 1 -out " + Quote(Path(name + ".pem")));
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
