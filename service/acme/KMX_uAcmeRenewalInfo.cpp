#include "KMX_uAcmeRenewalInfo.h"

#include <cctype>
#include <ctime>

#include <nlohmann/json.hpp>
#include <openssl/asn1.h>
#include <openssl/x509v3.h>

#include "KMX_uAcmeJws.h"

namespace kelvane {

namespace {

using nlohmann::json;

// The content octets of the serial's DER encoding: the encoding without its
// tag and length.
bool SerialContent(const ASN1_INTEGER* serial, std::string& bytes) {
  unsigned char* der = nullptr;
  const int size = ::i2d_ASN1_INTEGER(serial, &der);
  if (size <= 0) return false;
  const unsigned char* at = der;
  long length = 0;
  int tag = 0, objectClass = 0;
  const int header = ::ASN1_get_object(&at, &length, &tag, &objectClass, size);
  const bool ok = (header & 0x80) == 0 && tag == V_ASN1_INTEGER && length > 0 && at + length == der + size;
  if (ok) bytes.assign(reinterpret_cast<const char*>(at), static_cast<std::size_t>(length));
  ::OPENSSL_free(der);
  return ok;
}

// Reads `count` digits at `at` into `value`; advances `at`.
bool Digits(std::string_view text, std::size_t& at, std::size_t count, int& value) {
  value = 0;
  for (std::size_t end = at + count; at < end; ++at) {
    if (at >= text.size() || !std::isdigit(static_cast<unsigned char>(text[at]))) return false;
    value = value * 10 + (text[at] - '0');
  }
  return true;
}

bool Expect(std::string_view text, std::size_t& at, std::string_view choices) {
  if (at >= text.size() || choices.find(text[at]) == std::string_view::npos) return false;
  ++at;
  return true;
}

bool WindowTime(const json& window, const char* name, TimePoint& when, std::string& error) {
  const auto at = window.find(name);
  if (at == window.end() || !at->is_string() || !ParseRfc3339(at->get<std::string>(), when)) {
    error = std::string("the suggested window's ") + name + " is missing or no RFC 3339 time";
    return false;
  }
  return true;
}

}  // namespace

bool AcmeCertificateId(X509* certificate, std::string& id, std::string& error) {
  const ASN1_OCTET_STRING* keyId = ::X509_get0_authority_key_id(certificate);
  if (keyId == nullptr || ::ASN1_STRING_length(keyId) <= 0) {
    error = "the certificate names no authority key identifier";
    return false;
  }
  std::string serial;
  if (!SerialContent(::X509_get0_serialNumber(certificate), serial)) {
    error = "the certificate's serial number cannot be encoded";
    return false;
  }
  const std::string_view key(reinterpret_cast<const char*>(::ASN1_STRING_get0_data(keyId)),
                             static_cast<std::size_t>(::ASN1_STRING_length(keyId)));
  id = Base64Url(key) + "." + Base64Url(serial);
  return true;
}

bool ParseRfc3339(std::string_view text, TimePoint& when) {
  std::size_t at = 0;
  int year, month, day, hour, minute, second;
  if (!Digits(text, at, 4, year) || !Expect(text, at, "-") || !Digits(text, at, 2, month) || !Expect(text, at, "-") ||
      !Digits(text, at, 2, day) || !Expect(text, at, "Tt ") || !Digits(text, at, 2, hour) || !Expect(text, at, ":") ||
      !Digits(text, at, 2, minute) || !Expect(text, at, ":") || !Digits(text, at, 2, second))
    return false;
  std::chrono::nanoseconds fraction{0};
  if (at < text.size() && text[at] == '.') {
    ++at;
    const std::size_t first = at;
    long long scale = 100000000;
    for (; at < text.size() && std::isdigit(static_cast<unsigned char>(text[at])); ++at, scale /= 10)
      fraction += std::chrono::nanoseconds((text[at] - '0') * scale);
    if (at == first) return false;
  }
  std::chrono::minutes offset{0};
  if (at < text.size() && (text[at] == 'Z' || text[at] == 'z')) {
    ++at;
  } else {
    const bool east = at < text.size() && text[at] == '+';
    int offsetHours, offsetMinutes;
    if (!Expect(text, at, "+-") || !Digits(text, at, 2, offsetHours) || !Expect(text, at, ":") ||
        !Digits(text, at, 2, offsetMinutes) || offsetHours > 23 || offsetMinutes > 59)
      return false;
    offset = std::chrono::minutes((east ? 1 : -1) * (offsetHours * 60 + offsetMinutes));
  }
  if (at != text.size()) return false;
  // A leap second is the second after :59.
  const bool leap = second == 60;
  TimePoint moment;
  if (!TryEncodeUtc(year, month, day, hour, minute, leap ? 59 : second, moment)) return false;
  if (moment == TimePoint::min() || moment == TimePoint::max()) return false;
  when = moment + std::chrono::seconds(leap ? 1 : 0) +
         std::chrono::duration_cast<TimePoint::duration>(fraction) - offset;
  return true;
}

std::string FormatRfc3339(TimePoint when) {
  const std::time_t seconds = std::chrono::system_clock::to_time_t(std::chrono::floor<std::chrono::seconds>(when));
  std::tm fields{};
  ::gmtime_r(&seconds, &fields);
  char text[32];
  std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &fields);
  return text;
}

bool ParseRenewalInfo(std::string_view body, TRenewalWindow& window, std::string& error) {
  const json answer = json::parse(body, nullptr, false);
  const json* suggested = nullptr;
  if (!answer.is_discarded() && answer.is_object()) {
    const auto at = answer.find("suggestedWindow");
    if (at != answer.end() && at->is_object()) suggested = &*at;
  }
  if (suggested == nullptr) {
    error = "the renewal information holds no suggestedWindow object";
    return false;
  }
  TRenewalWindow read;
  if (!WindowTime(*suggested, "start", read.Start, error) || !WindowTime(*suggested, "end", read.End, error))
    return false;
  if (read.End <= read.Start) {
    error = "the suggested window ends before it starts";
    return false;
  }
  window = read;
  return true;
}

}  // namespace kelvane
