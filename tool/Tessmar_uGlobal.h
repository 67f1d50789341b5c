#pragma once

// Values the configuration tool shares between its data module and its windows
// for the whole run.

#include <string>

#include "Tessmar_uSettings.h"

namespace kelvane {

struct TToolGlobals {
  // The help file: installation folder + "Docs/vardex.html".
  std::string HelpFilePath;
  // Cleared by a successful save sequence; ends the cycle of windows.
  bool KeepGoing = true;
  // Set by the settings window's first activation of a showing.
  bool SettingsActivated = false;
  // The field that takes the focus when the settings window is activated.
  TSettingsControl InitialFocus = TSettingsControl::None;
  // Logical pixels per inch of the screen the windows are shown on.
  int ScreenDensity = 0;
  // "LocalNow" as sent to the certificate authority; repeated in the readme.
  std::string CertificateStartTime;
  // "LocalTimeZoneBias" as sent to the certificate authority.
  std::string TimeZoneBias;
};

// The one set of values of this process.
TToolGlobals& Global();

// Puts every value back to its initial state (program end, and between tests).
void ResetGlobals();

// The help file below an installation folder that ends in a separator.
std::string HelpFilePathIn(const std::string& folder);

}  // namespace kelvane
