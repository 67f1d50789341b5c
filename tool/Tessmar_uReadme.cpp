#include "Tessmar_uReadme.h"

#include "Tessmar_uDateTime.h"

namespace kelvane {

std::string BuildReadme(const std::string& startTime, const std::string& loginURL, const std::string& note) {
  const std::string hyphens(21, '-');
  const std::string lines[] = {
      hyphens,
      "Kelvane",
      hyphens,
      "",
      startTime.empty() ? "Your Vardex certificate is obtained by the service." :
                          "Your Vardex certificate was requested with a start time ",
      startTime.empty() ? "" : "of " + startTime + ".",
      "",
      "Use this address to control Vardex from your web browser:",
      "",
      loginURL,
      "",
      "",
      "",
      "Please make sure that your selected port is open in ",
      "your firewall, e.g. Control Panel > Windows Firewall.",
      "",
  };
  std::string text;
  for (const std::string& line : lines) text += line + "\r\n";
  if (!note.empty()) text += note + "\r\n";
  return text;
}

std::string ReadmeStartTime(const std::string& localNow, char decimalSeparator, const LocalTime& now) {
  double value = 0;
  if (!localNow.empty() && ParseDateTimeNumber(localNow, decimalSeparator, value)) {
    return FormatShortDateLongTime(LocalTimeFromDateTime(value));
  }
  return FormatShortDateLongTime(now);
}

}  // namespace kelvane
