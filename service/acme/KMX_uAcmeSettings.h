#pragma once

// The "[ACME]" section of Vardex.cfg, which turns on certificates from an
// ACME server:
//   Directory        the directory URL (https); the section counts only with it
//   EMail            the account's contact (optional)
//   CAFile           extra PEM roots for the server's HTTPS (optional; a
//                    relative path is taken from the installation folder)
//   Challenge        tls-alpn-01 (default) or http-01
//   RenewDaysBefore  days before expiry to renew (default: a third of the
//                    lifetime before)
//   RenewObtainedBefore  a local time ("2026-12-10 20:00"): a certificate the
//                    service wrote before it is renewed at the next check, so
//                    an administrator can renew now (with Reload
//                    Configuration) by writing the current time; once renewed,
//                    the line changes nothing more (a time still to come
//                    counts as the moment the file is read)

#include <optional>
#include <string>
#include <string_view>

#include "KMX_uAcmeChallenge.h"
#include "ucTime.h"

namespace kelvane {

inline constexpr char AcmeSection[] = "ACME";

struct TAcmeServiceSettings {
  bool Enabled = false;
  std::string Directory;
  std::string EMail;
  std::string CAFile;
  TAcmeChallengeType Challenge = TAcmeChallengeType::TlsAlpn01;
  std::optional<int> RenewDaysBefore;
  std::optional<TimePoint> RenewObtainedBefore;
};

class TIniReader;

// Reads the section from the configuration file, as the configuration reader
// has parsed it. A file without the section (or with an empty Directory)
// leaves ACME off. False, with a reason that names the entry, for a value
// that cannot be used.
bool ReadAcmeSettings(const TIniReader& ini, std::string_view applicationFolder, TAcmeServiceSettings& settings,
                      std::string& error);

}  // namespace kelvane
