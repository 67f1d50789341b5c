#include "KMX_uAcmeTlsAlpn.h"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>
#include <openssl/objects.h>
#include <openssl/sha.h>
#include <openssl/x509v3.h>

#include "AcmeTestServers.h"
#include "TempDir.h"
#include "TestPki.h"

namespace kelvane {
namespace {

using testing::HandshakeWith;

constexpr char KeyAuth[] = "token-1.thumbprint";

struct TAcmeIdentifier {
  bool Present = false;
  bool Critical = false;
  std::string Value;  // DER of the extension value
};

TAcmeIdentifier ReadAcmeIdentifier(X509* certificate) {
  TAcmeIdentifier result;
  ASN1_OBJECT* oid = ::OBJ_txt2obj("1.3.6.1.5.5.7.1.31", 1);
  const int at = ::X509_get_ext_by_OBJ(certificate, oid, -1);
  ::ASN1_OBJECT_free(oid);
  if (at < 0) return result;
  X509_EXTENSION* extension = ::X509_get_ext(certificate, at);
  const ASN1_OCTET_STRING* data = ::X509_EXTENSION_get_data(extension);
  result.Present = true;
  result.Critical = ::X509_EXTENSION_get_critical(extension) == 1;
  result.Value.assign(reinterpret_cast<const char*>(::ASN1_STRING_get0_data(data)),
                      static_cast<std::size_t>(::ASN1_STRING_length(data)));
  return result;
}

std::string ExpectedIdentifier(std::string_view keyAuthorization) {
  unsigned char digest[SHA256_DIGEST_LENGTH];
  ::SHA256(reinterpret_cast<const unsigned char*>(keyAuthorization.data()), keyAuthorization.size(), digest);
  return std::string("\x04\x20", 2) + std::string(reinterpret_cast<const char*>(digest), sizeof digest);
}

std::vector<std::string> DnsNames(X509* certificate) {
  std::vector<std::string> names;
  auto* general = static_cast<GENERAL_NAMES*>(::X509_get_ext_d2i(certificate, NID_subject_alt_name, nullptr, nullptr));
  for (int i = 0; general != nullptr && i < sk_GENERAL_NAME_num(general); ++i) {
    const GENERAL_NAME* name = sk_GENERAL_NAME_value(general, i);
    if (name->type == GEN_DNS)
      names.emplace_back(reinterpret_cast<const char*>(::ASN1_STRING_get0_data(name->d.dNSName)),
                         static_cast<std::size_t>(::ASN1_STRING_length(name->d.dNSName)));
  }
  ::GENERAL_NAMES_free(general);
  return names;
}

TEST(TlsAlpnCertificate, CarriesTheNameAndTheCriticalDigestAndIsSelfSigned) {
  TPKey key;
  TX509 certificate;
  std::string error;
  ASSERT_TRUE(MakeTlsAlpnCertificate("host.test", KeyAuth, key, certificate, error)) << error;
  EXPECT_EQ(DnsNames(certificate.get()), std::vector<std::string>{"host.test"});
  const TAcmeIdentifier identifier = ReadAcmeIdentifier(certificate.get());
  ASSERT_TRUE(identifier.Present);
  EXPECT_TRUE(identifier.Critical);
  EXPECT_EQ(identifier.Value, ExpectedIdentifier(KeyAuth));
  EXPECT_NE(identifier.Value, ExpectedIdentifier("token-1.other"));
  EXPECT_EQ(::X509_verify(certificate.get(), key.get()), 1);
  EXPECT_EQ(::X509_cmp_current_time(::X509_get0_notBefore(certificate.get())), -1);
  EXPECT_EQ(::X509_cmp_current_time(::X509_get0_notAfter(certificate.get())), 1);
}

class TlsAlpnResponderTest : public ::testing::Test {
 protected:
  void SetUp() override {
    testing::TTestPkiOptions options;
    options.KeyPassphrase = "";
    const auto files = testing::WriteTestPki(FFolder.Path(), options);
    FListener = std::make_unique<testing::TTlsAlpnTestListener>(FResponder, files.Certificate, files.Key);
  }

  // What a client sees, decoded.
  struct TSeen {
    bool Connected;
    std::string Alpn;
    TAcmeIdentifier Identifier;
  };
  TSeen Handshake(const std::string& name, const std::string& alpn) {
    const auto handshake = HandshakeWith(FListener->Port(), name, alpn);
    TSeen seen{handshake.Connected, handshake.Alpn, {}};
    if (!handshake.Connected) return seen;
    std::string error;
    TX509 peer = CertificateFromPem(handshake.PeerCertificate, error);
    EXPECT_TRUE(peer) << error;
    if (peer) seen.Identifier = ReadAcmeIdentifier(peer.get());
    return seen;
  }

  testing::TempDir FFolder;
  TAcmeTlsAlpnResponder FResponder;
  std::unique_ptr<testing::TTlsAlpnTestListener> FListener;
};

TEST_F(TlsAlpnResponderTest, ShowsTheChallengeOnlyToAcmeTlsClientsForPublishedNames) {
  std::string error;
  ASSERT_TRUE(FResponder.Publish("host.test", "token-1", KeyAuth, error)) << error;

  for (const std::string name : {"host.test", "HOST.Test"}) {
    const TSeen challenge = Handshake(name, AcmeTlsAlpnProtocol);
    ASSERT_TRUE(challenge.Connected) << name;
    EXPECT_EQ(challenge.Alpn, AcmeTlsAlpnProtocol);
    EXPECT_EQ(challenge.Identifier.Value, ExpectedIdentifier(KeyAuth)) << name;
  }
  // The listener counts a handshake once its side is done, which may be just
  // after the client's.
  for (int i = 0; i < 100 && FListener->ChallengeHandshakes() < 2; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  EXPECT_EQ(FListener->ChallengeHandshakes(), 2);

  // Ordinary clients, with or without ALPN, keep the ordinary certificate.
  for (const std::string alpn : {"", "http/1.1"}) {
    const TSeen ordinary = Handshake("host.test", alpn);
    ASSERT_TRUE(ordinary.Connected) << alpn;
    EXPECT_FALSE(ordinary.Identifier.Present) << alpn;
    EXPECT_EQ(ordinary.Alpn, "");
  }

  // A validation for a name with no challenge must not get a certificate.
  EXPECT_FALSE(Handshake("other.test", AcmeTlsAlpnProtocol).Connected);
  EXPECT_FALSE(Handshake("", AcmeTlsAlpnProtocol).Connected);

  FResponder.Withdraw("host.test", "token-1");
  EXPECT_FALSE(Handshake("host.test", AcmeTlsAlpnProtocol).Connected);
  EXPECT_TRUE(Handshake("host.test", "").Connected);
  EXPECT_EQ(FListener->ChallengeHandshakes(), 2);
}

}  // namespace
}  // namespace kelvane
