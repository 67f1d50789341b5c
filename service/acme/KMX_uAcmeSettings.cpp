#include "KMX_uAcmeSettings.h"

#include "KMX_uAcmeHttps.h"
#include "ucIniFile.h"

namespace kelvane {

bool ReadAcmeSettings(std::string_view configText, std::string_view applicationFolder,
                      TAcmeServiceSettings& settings, std::string& error) {
  settings = {};
  const TIniReader ini(configText);
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
  settings.Enabled = true;
  return true;
}

}  // namespace kelvane
