#pragma once

// A second factor for a user of the list: a random TOTP secret in the
// section [TOTP] of Vardex.cfg, and the otpauth:// address an authenticator
// app takes from a QR code to make the user's codes.

#include <string>

#include "Tessmar_dmProcess.h"
#include "Tessmar_uSettings.h"

namespace kelvane {

inline constexpr const char* TOTPSection = "TOTP";

struct TTOTPEnrolment {
  std::string User;
  std::string Secret;   // base32 without padding: 32 characters for 160 bits
  std::string Address;  // the otpauth:// address of the secret
};

// 160 random bits from OpenSSL's generator as base32 text. False, with the
// reason in `error`, when the generator fails.
bool NewTOTPSecret(std::string& secret, std::string& error);

// The issuer an authenticator app shows beside the codes: "Vardex" and the
// host of the login address, so two servers' entries can be told apart.
std::string TOTPIssuer(const TSettingsFields& fields);

// otpauth://totp/ISSUER:USER?secret=SECRET&issuer=ISSUER, with issuer and
// user percent-encoded as UTF-8 (RFC 3986's unreserved characters kept).
std::string OtpauthAddress(const std::string& issuer, const std::string& user, const std::string& secret);

// Gives `user` a new secret: writes "user=SECRET" into [TOTP] of the
// installation's configuration file, in place of an entry the user had (the
// name matched without regard to case), and fills `enrolment`. False, with
// the reason in `error`, when no secret could be made or the file written.
bool GiveTOTPSecret(TdmProcess& process, const std::string& user, const std::string& issuer,
                    TTOTPEnrolment& enrolment, std::string& error);

}  // namespace kelvane
