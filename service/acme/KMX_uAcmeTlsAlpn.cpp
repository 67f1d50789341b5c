#include "KMX_uAcmeTlsAlpn.h"

#include <cstdint>
#include <map>
#include <mutex>

#include <openssl/asn1.h>
#include <openssl/objects.h>
#include <openssl/rand.h>
#include <openssl/sha.h>
#include <openssl/tls1.h>
#include <openssl/x509v3.h>

#include "ucText.h"

namespace kelvane {

namespace {

constexpr char AcmeIdentifierOid[] = "1.3.6.1.5.5.7.1.31";
// The challenge certificate needs to live only while the order is open.
constexpr long ChallengeLifetimeSeconds = 7L * 24 * 3600;

// The extension's body as the client sent it; empty when it is absent.
std::string_view ClientHelloExtension(SSL* ssl, unsigned type) {
  const unsigned char* data = nullptr;
  std::size_t length = 0;
  if (::SSL_client_hello_get0_ext(ssl, type, &data, &length) != 1) return {};
  return {reinterpret_cast<const char*>(data), length};
}

unsigned TwoBytes(std::string_view data, std::size_t at) {
  return (static_cast<unsigned char>(data[at]) << 8) | static_cast<unsigned char>(data[at + 1]);
}

// The ALPN extension is a two-byte length and a list of length-prefixed names.
bool OffersAcmeTls(std::string_view alpn) {
  if (alpn.size() < 2 || TwoBytes(alpn, 0) != alpn.size() - 2) return false;
  for (std::size_t at = 2; at < alpn.size();) {
    const std::size_t length = static_cast<unsigned char>(alpn[at++]);
    if (at + length > alpn.size()) return false;
    if (alpn.substr(at, length) == AcmeTlsAlpnProtocol) return true;
    at += length;
  }
  return false;
}

// The SNI extension: a two-byte list length, then entries of a type byte (0:
// host name) and a length-prefixed name.
std::string HostName(std::string_view sni) {
  if (sni.size() < 2 || TwoBytes(sni, 0) != sni.size() - 2) return {};
  for (std::size_t at = 2; at + 3 <= sni.size();) {
    const unsigned char type = static_cast<unsigned char>(sni[at]);
    const std::size_t length = TwoBytes(sni, at + 1);
    at += 3;
    if (at + length > sni.size()) return {};
    if (type == TLSEXT_NAMETYPE_host_name) return FoldCase(sni.substr(at, length));
    at += length;
  }
  return {};
}

int SelectAcmeTls(SSL*, const unsigned char** selected, unsigned char* selectedLength, const unsigned char* offered,
                  unsigned offeredLength, void*) {
  static const unsigned char Wanted[] = "\x0a" "acme-tls/1";
  unsigned char* choice = nullptr;
  if (::SSL_select_next_proto(&choice, selectedLength, Wanted, sizeof Wanted - 1, offered, offeredLength) !=
      OPENSSL_NPN_NEGOTIATED)
    return SSL_TLSEXT_ERR_ALERT_FATAL;
  *selected = choice;
  return SSL_TLSEXT_ERR_OK;
}

bool AddExtension(X509* certificate, int nid, const char* value) {
  X509V3_CTX context;
  X509V3_set_ctx_nodb(&context);
  X509V3_set_ctx(&context, certificate, certificate, nullptr, nullptr, 0);
  X509_EXTENSION* extension = ::X509V3_EXT_conf_nid(nullptr, &context, nid, value);
  const bool added = extension != nullptr && ::X509_add_ext(certificate, extension, -1) == 1;
  ::X509_EXTENSION_free(extension);
  return added;
}

// id-pe-acmeIdentifier: critical, its value the DER of an OCTET STRING that
// holds the digest.
bool AddAcmeIdentifier(X509* certificate, std::string_view keyAuthorization) {
  unsigned char digest[SHA256_DIGEST_LENGTH];
  ::SHA256(reinterpret_cast<const unsigned char*>(keyAuthorization.data()), keyAuthorization.size(), digest);
  unsigned char der[2 + SHA256_DIGEST_LENGTH] = {V_ASN1_OCTET_STRING, SHA256_DIGEST_LENGTH};
  std::copy(std::begin(digest), std::end(digest), der + 2);
  ASN1_OBJECT* oid = ::OBJ_txt2obj(AcmeIdentifierOid, 1);
  ASN1_OCTET_STRING* value = ::ASN1_OCTET_STRING_new();
  X509_EXTENSION* extension = nullptr;
  if (oid != nullptr && value != nullptr && ::ASN1_OCTET_STRING_set(value, der, sizeof der) == 1)
    extension = ::X509_EXTENSION_create_by_OBJ(nullptr, oid, 1, value);
  const bool added = extension != nullptr && ::X509_add_ext(certificate, extension, -1) == 1;
  ::X509_EXTENSION_free(extension);
  ::ASN1_OCTET_STRING_free(value);
  ::ASN1_OBJECT_free(oid);
  return added;
}

}  // namespace

namespace {

// A self-signed certificate for the name; with a key authorisation, it
// carries the acmeIdentifier extension too.
bool MakeCertificate(std::string_view dnsName, const std::string_view* keyAuthorization, TPKey& key,
                     TX509& certificate, std::string& error) {
  key = GenerateEcP256Key(error);
  if (!key) return false;
  certificate.reset(::X509_new());
  std::uint64_t serial = 0;
  X509_NAME* name = certificate ? ::X509_get_subject_name(certificate.get()) : nullptr;
  const std::string host(dnsName);
  const bool made =
      name != nullptr && ::X509_set_version(certificate.get(), X509_VERSION_3) == 1 &&
      ::RAND_bytes(reinterpret_cast<unsigned char*>(&serial), sizeof serial) == 1 &&
      ::ASN1_INTEGER_set_uint64(::X509_get_serialNumber(certificate.get()), serial >> 1) == 1 &&
      ::X509_gmtime_adj(::X509_getm_notBefore(certificate.get()), 0) != nullptr &&
      ::X509_gmtime_adj(::X509_getm_notAfter(certificate.get()), ChallengeLifetimeSeconds) != nullptr &&
      ::X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_UTF8, reinterpret_cast<const unsigned char*>(host.c_str()),
                                   -1, -1, 0) == 1 &&
      ::X509_set_issuer_name(certificate.get(), name) == 1 && ::X509_set_pubkey(certificate.get(), key.get()) == 1 &&
      AddExtension(certificate.get(), NID_subject_alt_name, ("DNS:" + host).c_str()) &&
      (keyAuthorization == nullptr || AddAcmeIdentifier(certificate.get(), *keyAuthorization)) &&
      ::X509_sign(certificate.get(), key.get(), ::EVP_sha256()) > 0;
  if (!made) {
    error = "cannot make a self-signed certificate for " + host + ": " + TakeOpenSSLError();
    certificate.reset();
    key.reset();
  }
  return made;
}

}  // namespace

bool MakeTlsAlpnCertificate(std::string_view dnsName, std::string_view keyAuthorization, TPKey& key,
                            TX509& certificate, std::string& error) {
  return MakeCertificate(dnsName, &keyAuthorization, key, certificate, error);
}

bool MakeSelfSignedCertificate(std::string_view dnsName, TPKey& key, TX509& certificate, std::string& error) {
  return MakeCertificate(dnsName, nullptr, key, certificate, error);
}

struct TAcmeTlsAlpnResponder::Impl {
  std::mutex Lock;
  std::map<std::string, std::shared_ptr<SSL_CTX>> Contexts;  // by lower-case host name
};

TAcmeTlsAlpnResponder::TAcmeTlsAlpnResponder() : FImpl(std::make_unique<Impl>()) {}
TAcmeTlsAlpnResponder::~TAcmeTlsAlpnResponder() = default;

bool TAcmeTlsAlpnResponder::Publish(std::string_view dnsName, std::string_view, std::string_view keyAuthorization,
                                    std::string& error) {
  TPKey key;
  TX509 certificate;
  if (!MakeTlsAlpnCertificate(dnsName, keyAuthorization, key, certificate, error)) return false;
  std::shared_ptr<SSL_CTX> context(::SSL_CTX_new(::TLS_server_method()), TOpenSSLFree<::SSL_CTX_free>());
  if (!context || ::SSL_CTX_set_min_proto_version(context.get(), TLS1_2_VERSION) != 1 ||
      ::SSL_CTX_use_certificate(context.get(), certificate.get()) != 1 ||
      ::SSL_CTX_use_PrivateKey(context.get(), key.get()) != 1) {
    error = "cannot set up the tls-alpn-01 answer: " + TakeOpenSSLError();
    return false;
  }
  ::SSL_CTX_set_alpn_select_cb(context.get(), SelectAcmeTls, nullptr);
  std::lock_guard guard(FImpl->Lock);
  FImpl->Contexts[FoldCase(dnsName)] = std::move(context);
  return true;
}

void TAcmeTlsAlpnResponder::Withdraw(std::string_view dnsName, std::string_view) {
  std::lock_guard guard(FImpl->Lock);
  FImpl->Contexts.erase(FoldCase(dnsName));
}

int TAcmeTlsAlpnResponder::OnClientHello(SSL* ssl) {
  if (!OffersAcmeTlsAlpn(ssl)) return 1;
  const std::string host = HostName(ClientHelloExtension(ssl, TLSEXT_TYPE_server_name));
  std::shared_ptr<SSL_CTX> context;
  {
    std::lock_guard guard(FImpl->Lock);
    const auto found = FImpl->Contexts.find(host);
    if (found != FImpl->Contexts.end()) context = found->second;
  }
  // SSL_set_SSL_CTX takes its own reference, so a withdrawal during this
  // handshake does not free the context under it.
  return context && ::SSL_set_SSL_CTX(ssl, context.get()) != nullptr ? 1 : 0;
}

void TAcmeTlsAlpnResponder::Install(SSL_CTX* serverContext) {
  ::SSL_CTX_set_client_hello_cb(
      serverContext,
      [](SSL* ssl, int* alert, void* responder) {
        if (static_cast<TAcmeTlsAlpnResponder*>(responder)->OnClientHello(ssl) == 1) return SSL_CLIENT_HELLO_SUCCESS;
        *alert = SSL_AD_UNRECOGNIZED_NAME;
        return SSL_CLIENT_HELLO_ERROR;
      },
      this);
}

bool OffersAcmeTlsAlpn(SSL* ssl) {
  return OffersAcmeTls(ClientHelloExtension(ssl, TLSEXT_TYPE_application_layer_protocol_negotiation));
}

bool IsAcmeTlsAlpnConnection(const SSL* ssl) {
  const unsigned char* protocol = nullptr;
  unsigned length = 0;
  ::SSL_get0_alpn_selected(ssl, &protocol, &length);
  return std::string_view(reinterpret_cast<const char*>(protocol), protocol ? length : 0) == AcmeTlsAlpnProtocol;
}

}  // namespace kelvane
