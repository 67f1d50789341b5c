#pragma once

// The two windows of the tool, created together and shown modally as the
// data module's Main asks.

#include "Tessmar_dmProcess.h"
#include "Tessmar_fmMain.h"
#include "Tessmar_fmPhoto.h"

namespace kelvane {

class TToolWindows : public IToolWindows {
 public:
  explicit TToolWindows(TdmProcess& process);

  bool ShowWelcome() override;
  void PrepareSettings() override;
  bool ShowSettings() override;

  TfmPhoto& fmPhoto() { return FPhoto; }
  TfmTessmar& fmTessmar() { return FMain; }

 private:
  TfmPhoto FPhoto;
  TfmTessmar FMain;
};

}  // namespace kelvane
