#include "KMX_uAcmeAccountKey.h"

#include <sys/stat.h>

#include <cerrno>

#include "ucFileContent.h"
#include "ucPaths.h"

namespace kelvane {

namespace {

constexpr std::size_t MaxKeyFileBytes = 64 * 1024;

bool IsP256Key(EVP_PKEY* key) {
  char curve[64] = {};
  return ::EVP_PKEY_is_a(key, "EC") == 1 &&
         ::EVP_PKEY_get_utf8_string_param(key, "group", curve, sizeof curve, nullptr) == 1 &&
         std::string_view(curve) == "prime256v1";
}

}  // namespace

bool LoadOrCreateAccountKey(std::string_view path, TPKey& key, std::string& error) {
  const std::string resolved = ResolvePath(path);
  struct stat info {};
  if (::stat(resolved.c_str(), &info) == 0) {
    std::string pem;
    if (!ReadFileContent(resolved, MaxKeyFileBytes, pem, error)) return false;
    key = PrivateKeyFromPem(pem, {}, error);
    if (key && !IsP256Key(key.get())) {
      key.reset();
      error = "not an ECDSA P-256 key";
    }
    if (!key) error = "the ACME account key " + resolved + " is unusable: " + error;
    return static_cast<bool>(key);
  }
  if (errno != ENOENT) {
    error = "cannot look at the ACME account key " + resolved;
    return false;
  }
  key = GenerateEcP256Key(error);
  if (!key) return false;
  if (!WritePrivateFile(resolved, PrivateKeyToPem(key.get()), error)) {
    error = "cannot save the ACME account key " + resolved + ": " + error;
    key.reset();
    return false;
  }
  return true;
}

}  // namespace kelvane
