#include "KMX_uAcmeSettings.h"

#include <algorithm>
#include <ctime>
#include <iomanip>
#include <sstream>

#include "KMX_uAcmeHttps.h"
#include "ucIniFile.h"

namespace kelvane {

namespace {

// "2026-12-10 20:00", seconds optional, in the machine's local time.
bool ParseLocalTime(const std::string& text, TimePoint& when) {
  for (const char* format : {"%Y-%m-%d %H:%M:%S", "%Y-%m-%d %H:%M"}) {
    std::tm fields{};
    std::istringstream in(text);
    in.imbue(std::locale::classic());
    in >> std::get_time(&fields, format);
    if (in.fail() || !(in >> std::ws).eof()) continue;
    fields.tm_isdst = -1;
    const std::time_t seconds = std::mktime(&fields);
    if (seconds == -1) return false;
    when = std::chrono::system_clock::from_time_t(seconds);
    return true;
  }
  return false;
}

}  // namespace

bool ReadAcmeSettings(const TIniReader& ini, std::string_view applicationFolder, TAcmeServiceSettings& settings,
                      std::string& error) {
  settings = {};
  settings.Directory = ini.ReadString(AcmeSection, "Directory", "");
  if (settings.Directory.empty()) return true;
  THttpsUrl parts;
  if (!ParseHttpsUrl(settings.Directory, parts, error)) {
    error = "[ACME] Directory: " + error;
    return false;
  }
  settings.EMail = ini.ReadString(AcmeSection, "EMail", "");
  settings.CAFile = ini.ReadString(AcmeSection, "CAFile", "");
  if (!settings.CAFile.empty() && settings.CAFile.front() != '/')
    settings.CAFile = std::string(applicationFolder) + settings.CAFile;
  const std::string challenge = ini.ReadString(AcmeSection, "Challenge", AcmeChallengeName(settings.Challenge));
  if (!ParseAcmeChallengeName(challenge, settings.Challenge)) {
    error = "[ACME] Challenge: \"" + challenge + "\" is neither tls-alpn-01 nor http-01";
    return false;
  }
  const std::string days = ini.ReadString(AcmeSection, "RenewDaysBefore", "");
  if (!days.empty()) {
    std::int32_t value = 0;
    if (!TryParseWholeNumber(days, value) || value < 0) {
      error = "[ACME] RenewDaysBefore: \"" + days + "\" is no number of days";
      return false;
    }
    settings.RenewDaysBefore = value;
  }
  const std::string obtainedBefore = ini.ReadString(AcmeSection, "RenewObtainedBefore", "");
  if (!obtainedBefore.empty()) {
    TimePoint when;
    if (!ParseLocalTime(obtainedBefore, when)) {
      error = "[ACME] RenewObtainedBefore: \"" + obtainedBefore + "\" is no time like 2026-12-10 20:00";
      return false;
    }
    // A time still to come counts as the moment the file is read: otherwise
    // each new certificate would be renewed again until that time.
    settings.RenewObtainedBefore = std::min(when, std::chrono::system_clock::now());
  }
  settings.Enabled = true;
  return true;
}

}  // namespace kelvane
