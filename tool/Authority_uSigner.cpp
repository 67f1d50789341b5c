#include "Authority_uSigner.h"

#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>

#include "ucPipe.h"

namespace kelvane {
namespace {

namespace fs = std::filesystem;

constexpr const char* IssuedExtensions =
    "basicConstraints = critical, CA:FALSE\n"
    "subjectKeyIdentifier = hash\n"
    "authorityKeyIdentifier = keyid, issuer\n"
    "extendedKeyUsage = serverAuth\n";

std::string Quoted(const std::string& text) { return "\"" + text + "\""; }

std::string RandomHex(size_t bytes) {
  static thread_local std::mt19937_64 random(std::random_device{}());
  static const char digits[] = "0123456789abcdef";
  std::string text;
  for (size_t i = 0; i < bytes; ++i) {
    const auto byte = static_cast<unsigned>(random() & 0xFF);
    text += digits[byte >> 4];
    text += digits[byte & 0xF];
  }
  return text;
}

bool WriteText(const fs::path& path, const std::string& text) {
  std::ofstream file(path, std::ios::binary | std::ios::trunc);
  file << text;
  return static_cast<bool>(file.flush());
}

bool ReadText(const fs::path& path, std::string& text) {
  std::ifstream file(path, std::ios::binary);
  if (!file) return false;
  std::ostringstream content;
  content << file.rdbuf();
  text = content.str();
  return true;
}

// A folder of its own for one request, removed with everything in it.
class TScratchFolder {
 public:
  explicit TScratchFolder(const std::string& parent) {
    const fs::path base = parent.empty() ? fs::temp_directory_path() : fs::path(parent);
    FPath = base / ("kelvane-authority-" + RandomHex(8));
    FCreated = fs::create_directory(FPath, FError);
    if (FCreated) fs::permissions(FPath, fs::perms::owner_all, fs::perm_options::replace, FError);
  }
  ~TScratchFolder() {
    std::error_code ignored;
    if (FCreated) fs::remove_all(FPath, ignored);
  }
  TScratchFolder(const TScratchFolder&) = delete;
  TScratchFolder& operator=(const TScratchFolder&) = delete;

  bool Created() const { return FCreated; }
  const fs::path& Path() const { return FPath; }

 private:
  fs::path FPath;
  bool FCreated = false;
  std::error_code FError;
};

}  // namespace

TCertificateSigner::TCertificateSigner(TSignerOptions options) : FOptions(std::move(options)) {}

bool TCertificateSigner::Sign(const std::string& requestPem, std::string& certificatePem, std::string& error) const {
  if (requestPem.find("-----BEGIN CERTIFICATE REQUEST-----") == std::string::npos) {
    error = "error: the request holds no PEM certificate request";
    return false;
  }
  TScratchFolder scratch(FOptions.WorkFolder);
  if (!scratch.Created()) {
    error = "error: the authority has no room to work";
    return false;
  }
  const fs::path request = scratch.Path() / "request.pem";
  const fs::path extensions = scratch.Path() / "extensions.cnf";
  const fs::path certificate = scratch.Path() / "certificate.pem";
  if (!WriteText(request, requestPem) || !WriteText(extensions, IssuedExtensions)) {
    error = "error: the authority could not store the request";
    return false;
  }
  std::string commandLine = Quoted(FOptions.Openssl) + " x509 -req -in " + Quoted(request.string()) + " -CA " +
                            Quoted(FOptions.RootCertificate) + " -CAkey " + Quoted(FOptions.RootKey);
  if (!FOptions.RootKeyPassFile.empty()) commandLine += " -passin " + Quoted("file:" + FOptions.RootKeyPassFile);
  commandLine += " -set_serial 0x" + RandomHex(16) + " -days " + std::to_string(FOptions.Days) +
                 " -sha256 -copy_extensions copy -extfile " + Quoted(extensions.string()) + " -out " +
                 Quoted(certificate.string());

  std::int32_t errorCode = 0;
  std::string output;
  TProcessStatus status;
  try {
    status = RunConsoleCommand(commandLine, errorCode, output);
  } catch (const std::exception& e) {
    error = std::string("error: ") + e.what();
    return false;
  }
  if (errorCode != 0) {
    error = "error: openssl could not be run (" + std::generic_category().message(errorCode) + ")";
    return false;
  }
  if (!status.Succeeded() || !ReadText(certificate, certificatePem) ||
      certificatePem.find("-----BEGIN CERTIFICATE-----") == std::string::npos) {
    error = "error: openssl could not sign the request:\n" + output;
    return false;
  }
  return true;
}

}  // namespace kelvane
