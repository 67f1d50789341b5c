#include "KMX_uAcmeJws.h"

#include <memory>
#include <stdexcept>

#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/ecdsa.h>
#include <openssl/sha.h>

#include "KMX_uAcmeKeys.h"

namespace kelvane {

namespace {

constexpr std::size_t P256CoordinateBytes = 32;

using TBigNumber = TOpenSSLHandle<BIGNUM, ::BN_free>;
using TMdCtx = TOpenSSLHandle<EVP_MD_CTX, ::EVP_MD_CTX_free>;
using TEcdsaSig = TOpenSSLHandle<ECDSA_SIG, ::ECDSA_SIG_free>;

// A big number as exactly `width` big-endian bytes, as JWK and JWS want them.
std::string FixedWidth(const BIGNUM* number, std::size_t width) {
  std::string bytes(width, '\0');
  if (::BN_bn2binpad(number, reinterpret_cast<unsigned char*>(bytes.data()), static_cast<int>(width)) < 0)
    throw std::runtime_error("a number does not fit " + std::to_string(width) + " bytes");
  return bytes;
}

std::string Coordinate(EVP_PKEY* key, const char* name) {
  BIGNUM* raw = nullptr;
  if (::EVP_PKEY_get_bn_param(key, name, &raw) != 1)
    throw std::runtime_error("the account key is no P-256 key: " + TakeOpenSSLError());
  TBigNumber number(raw);
  return FixedWidth(number.get(), P256CoordinateBytes);
}

// ES256 wants the raw r || s pair; OpenSSL signs in DER.
std::string SignEs256(EVP_PKEY* key, std::string_view input) {
  TMdCtx context(::EVP_MD_CTX_new());
  std::size_t length = 0;
  if (!context || ::EVP_DigestSignInit(context.get(), nullptr, ::EVP_sha256(), nullptr, key) != 1 ||
      ::EVP_DigestSign(context.get(), nullptr, &length, reinterpret_cast<const unsigned char*>(input.data()),
                       input.size()) != 1)
    throw std::runtime_error("cannot sign with the account key: " + TakeOpenSSLError());
  std::string der(length, '\0');
  if (::EVP_DigestSign(context.get(), reinterpret_cast<unsigned char*>(der.data()), &length,
                       reinterpret_cast<const unsigned char*>(input.data()), input.size()) != 1)
    throw std::runtime_error("cannot sign with the account key: " + TakeOpenSSLError());
  const auto* cursor = reinterpret_cast<const unsigned char*>(der.data());
  TEcdsaSig signature(::d2i_ECDSA_SIG(nullptr, &cursor, static_cast<long>(length)));
  if (!signature) throw std::runtime_error("OpenSSL made an unreadable signature");
  return FixedWidth(::ECDSA_SIG_get0_r(signature.get()), P256CoordinateBytes) +
         FixedWidth(::ECDSA_SIG_get0_s(signature.get()), P256CoordinateBytes);
}

}  // namespace

// OpenSSL's base64 with the two URL-safe letters swapped in and the padding
// dropped.
std::string Base64Url(std::string_view bytes) {
  std::string text(4 * ((bytes.size() + 2) / 3) + 1, '\0');
  const int length = ::EVP_EncodeBlock(reinterpret_cast<unsigned char*>(text.data()),
                                       reinterpret_cast<const unsigned char*>(bytes.data()), static_cast<int>(bytes.size()));
  text.resize(static_cast<std::size_t>(length));
  while (!text.empty() && text.back() == '=') text.pop_back();
  for (char& c : text) c = c == '+' ? '-' : c == '/' ? '_' : c;
  return text;
}

bool DecodeBase64Url(std::string_view text, std::string& bytes) {
  std::string standard(text);
  for (char& c : standard) {
    if (c == '+' || c == '/' || c == '=') return false;
    c = c == '-' ? '+' : c == '_' ? '/' : c;
  }
  const std::size_t padding = (4 - standard.size() % 4) % 4;
  if (padding == 3) return false;
  standard.append(padding, '=');
  bytes.assign(standard.size() / 4 * 3, '\0');
  const int length = ::EVP_DecodeBlock(reinterpret_cast<unsigned char*>(bytes.data()),
                                       reinterpret_cast<const unsigned char*>(standard.data()), static_cast<int>(standard.size()));
  if (length < 0) return false;
  bytes.resize(static_cast<std::size_t>(length) - padding);
  return true;
}

nlohmann::json PublicJwk(EVP_PKEY* key) {
  return {{"crv", "P-256"},
          {"kty", "EC"},
          {"x", Base64Url(Coordinate(key, OSSL_PKEY_PARAM_EC_PUB_X))},
          {"y", Base64Url(Coordinate(key, OSSL_PKEY_PARAM_EC_PUB_Y))}};
}

std::string JwkThumbprint(EVP_PKEY* key) {
  // nlohmann::json keeps object members sorted and dump() adds no blanks:
  // exactly the canonical form RFC 7638 asks for.
  const std::string canonical = PublicJwk(key).dump();
  unsigned char digest[SHA256_DIGEST_LENGTH];
  ::SHA256(reinterpret_cast<const unsigned char*>(canonical.data()), canonical.size(), digest);
  return Base64Url(std::string_view(reinterpret_cast<const char*>(digest), sizeof digest));
}

std::string SignJws(const TJwsSigner& signer, std::string_view nonce, std::string_view url, std::string_view payload) {
  nlohmann::json header = {{"alg", "ES256"}, {"nonce", nonce}, {"url", url}};
  if (signer.KeyId.empty())
    header["jwk"] = PublicJwk(signer.Key);
  else
    header["kid"] = signer.KeyId;
  const std::string protectedPart = Base64Url(header.dump());
  const std::string payloadPart = Base64Url(payload);
  const std::string signature = SignEs256(signer.Key, protectedPart + "." + payloadPart);
  return nlohmann::json{{"protected", protectedPart}, {"payload", payloadPart}, {"signature", Base64Url(signature)}}
      .dump();
}

}  // namespace kelvane
