#pragma once

// JSON Web Signatures as ACME servers expect them (RFC 8555 section 6.2,
// RFC 7515, RFC 7518): ES256 with an ECDSA P-256 account key, the public key
// as a JWK (RFC 7517) and its SHA-256 thumbprint (RFC 7638).

#include <string>
#include <string_view>

#include <nlohmann/json.hpp>
#include <openssl/evp.h>

namespace kelvane {

// Base64 with the URL-safe alphabet and without padding (RFC 4648 section 5).
std::string Base64Url(std::string_view bytes);
// False when `text` holds characters outside that alphabet.
bool DecodeBase64Url(std::string_view text, std::string& bytes);

// The public half of a P-256 key: {"crv":"P-256","kty":"EC","x":...,"y":...}.
nlohmann::json PublicJwk(EVP_PKEY* key);

// Base64url of SHA-256 over the JWK's members in lexical order, without
// blanks.
std::string JwkThumbprint(EVP_PKEY* key);

// How the protected header names the account: by its public key (only for
// creating the account) or by the account's URL.
struct TJwsSigner {
  EVP_PKEY* Key = nullptr;
  std::string KeyId;  // the account URL; empty sends the JWK instead
};

// The flattened JSON serialisation {"protected","payload","signature"} of
// `payload` (empty for POST-as-GET) with the header fields alg, nonce, url and
// jwk or kid. Throws std::runtime_error when OpenSSL cannot sign.
std::string SignJws(const TJwsSigner& signer, std::string_view nonce, std::string_view url, std::string_view payload);

}  // namespace kelvane
