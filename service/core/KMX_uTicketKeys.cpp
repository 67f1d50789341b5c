#include "KMX_uTicketKeys.h"

#include <cstring>

#include <openssl/core_names.h>
#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/rand.h>
#include <openssl/ssl.h>

namespace kelvane {
namespace {

bool MakeKey(TTicketKeys::TKey& key) {
  return ::RAND_bytes(key.Name.data(), static_cast<int>(key.Name.size())) == 1 &&
         ::RAND_bytes(key.CipherKey.data(), static_cast<int>(key.CipherKey.size())) == 1 &&
         ::RAND_bytes(key.MacKey.data(), static_cast<int>(key.MacKey.size())) == 1;
}

void Forget(std::optional<TTicketKeys::TKey>& key) {
  if (key) ::OPENSSL_cleanse(&*key, sizeof *key);
  key.reset();
}

TTicketKeys& ProcessTicketKeys() {
  static TTicketKeys keys;
  return keys;
}

// OpenSSL's ticket callback: AES-256-CBC with an HMAC-SHA256, the scheme
// OpenSSL itself uses for its built-in keys. 1 = go on, 2 = go on and issue a
// new ticket, 0 = unknown key (full handshake), -1 = failure.
int SealOrOpenTicket(SSL* ssl, unsigned char* name, unsigned char* iv, EVP_CIPHER_CTX* cipher, EVP_MAC_CTX* mac,
                     int seal) {
  TTicketKeys::TKey key;
  TTicketKeys::TFound found = TTicketKeys::TFound::Current;
  int result = -1;
  if (seal) {
    if (ProcessTicketKeys().Current(key) && ::RAND_bytes(iv, EVP_CIPHER_get_iv_length(::EVP_aes_256_cbc())) == 1 &&
        ::EVP_EncryptInit_ex(cipher, ::EVP_aes_256_cbc(), nullptr, key.CipherKey.data(), iv) == 1) {
      std::memcpy(name, key.Name.data(), key.Name.size());
      result = 1;
    }
  } else {
    found = ProcessTicketKeys().Find(name, key);
    if (found == TTicketKeys::TFound::None) return 0;
    if (::EVP_DecryptInit_ex(cipher, ::EVP_aes_256_cbc(), nullptr, key.CipherKey.data(), iv) == 1) result = 1;
  }
  if (result == 1) {
    char digest[] = "SHA256";
    const OSSL_PARAM params[] = {
        ::OSSL_PARAM_construct_octet_string(OSSL_MAC_PARAM_KEY, key.MacKey.data(), key.MacKey.size()),
        ::OSSL_PARAM_construct_utf8_string(OSSL_MAC_PARAM_DIGEST, digest, 0), ::OSSL_PARAM_construct_end()};
    if (::EVP_MAC_CTX_set_params(mac, params) != 1) result = -1;
  }
  ::OPENSSL_cleanse(&key, sizeof key);
  // A ticket under the previous key is renewed under the current one. A TLS
  // 1.3 ticket always is: clients use each one once (browsers do), so without
  // a new ticket every other connection would be a full handshake.
  if (result == 1 && (found == TTicketKeys::TFound::Previous || ::SSL_version(ssl) >= TLS1_3_VERSION)) return 2;
  return result;
}

}  // namespace

TTicketKeys::TTicketKeys(TClock clock) : FClock(std::move(clock)) {}

TTicketKeys::~TTicketKeys() {
  Forget(FCurrent);
  Forget(FPrevious);
}

bool TTicketKeys::RotateIfDue() {
  const auto now = FClock();
  if (FCurrent && now - FCreated < TicketKeyRotation) return true;
  TKey fresh;
  if (!MakeKey(fresh)) return false;
  Forget(FPrevious);
  // A key two periods old seals nothing any more and opens nothing either.
  if (FCurrent && now - FCreated < 2 * TicketKeyRotation) FPrevious = FCurrent;
  Forget(FCurrent);
  FCurrent = fresh;
  ::OPENSSL_cleanse(&fresh, sizeof fresh);
  FCreated = now;
  return true;
}

bool TTicketKeys::Current(TKey& key) {
  std::lock_guard lock(FMutex);
  if (!RotateIfDue()) return false;
  key = *FCurrent;
  return true;
}

TTicketKeys::TFound TTicketKeys::Find(const unsigned char* name, TKey& key) {
  std::lock_guard lock(FMutex);
  RotateIfDue();
  if (FCurrent && std::memcmp(FCurrent->Name.data(), name, FCurrent->Name.size()) == 0) {
    key = *FCurrent;
    return TFound::Current;
  }
  if (FPrevious && std::memcmp(FPrevious->Name.data(), name, FPrevious->Name.size()) == 0) {
    key = *FPrevious;
    return TFound::Previous;
  }
  return TFound::None;
}

void InstallTicketKeys(SSL_CTX* context) { ::SSL_CTX_set_tlsext_ticket_key_evp_cb(context, SealOrOpenTicket); }

}  // namespace kelvane
