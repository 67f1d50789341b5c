#pragma once

// Renewal information from an ACME server (RFC 9773): the identifier it
// knows a certificate by, the times in its answers, and the renewal window
// it suggests.

#include <string>
#include <string_view>

#include <openssl/x509.h>

#include "KMX_uRenewal.h"
#include "ucTime.h"

namespace kelvane {

// "<keyIdentifier>.<serial>": base64url of the Authority Key Identifier's
// keyIdentifier and of the serial number's DER content octets (the two's
// complement bytes, with the leading zero a positive number with its top bit
// set needs). False, with the reason, for a certificate without an
// Authority Key Identifier.
bool AcmeCertificateId(X509* certificate, std::string& id, std::string& error);

// An RFC 3339 date-time: "2026-12-10T20:00:00Z", with optional fractional
// seconds and "Z" or a "+hh:mm"/"-hh:mm" offset ("t", "z" and a blank
// instead of "T" are accepted as well). False for anything else.
bool ParseRfc3339(std::string_view text, TimePoint& when);
// "2026-12-10T20:00:00Z", in whole seconds.
std::string FormatRfc3339(TimePoint when);

// The suggestedWindow of a renewal information answer. False, with the
// reason, when the body is no JSON object with a start and an end, or the
// end does not come after the start.
bool ParseRenewalInfo(std::string_view body, TRenewalWindow& window, std::string& error);

}  // namespace kelvane
