#pragma once

// What the settings window does behind its controls: loading the fields,
// checking them, the ping test of the address, the save sequence, and the
// layout numbers that depend on the screen's density. The window forwards its
// events here; tests drive the same object with a scripted window.

#include <string>

#include "Tessmar_dmProcess.h"
#include "Tessmar_uSettings.h"

namespace kelvane {

struct TWindowSize {
  int Width = 0;
  int Height = 0;
  bool operator==(const TWindowSize&) const = default;
};

// The margin around the groups: 7 at 120 pixels per inch, 8 at 144, else 6.
int LayoutMargin(int density);

// The window's size for a density, from the size it was created with (which
// the platform has already scaled to the screen): 5 pixels more height at 96
// pixels per inch, unchanged otherwise.
TWindowSize ArrangeWindowSize(TWindowSize created, int density);

// The largest size the person may give the window: 10 pixels more each way.
TWindowSize MaximumWindowSize(TWindowSize arranged);

// True when `address` stands in the ping output as a whole address, not as
// the start or the end of a longer one ("10.0.0.1" is not in "10.0.0.12").
bool PingShowsAddress(const std::string& output, const std::string& address);

class TSettingsFormLogic {
 public:
  TSettingsFormLogic(TdmProcess& process, ISettingsWindow& window);

  // Loads the fields from the configuration file; a file that cannot be used
  // is reported and leaves the design-time texts.
  void LoadSettings();

  // The checks before saving, in order; each failure shows its own box.
  bool ValidateSettings();

  // True when the IP number is empty, is this machine's first address, or
  // shows as a whole address in the output of a ping of the common name.
  bool PingCommonName(const TSettingsFields& fields);

  // The save sequence of "C&ontinue Installation" and "&Save".
  void btnConfigureClick();

  // True while the save sequence runs.
  bool SequenceRunning() const { return FSequenceRunning; }

 private:
  void EndSequence();

  TdmProcess& FProcess;
  ISettingsWindow& FWindow;
  bool FSequenceRunning = false;
};

}  // namespace kelvane
