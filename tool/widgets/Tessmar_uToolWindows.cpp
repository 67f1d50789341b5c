#include "Tessmar_uToolWindows.h"

namespace kelvane {

TToolWindows::TToolWindows(TdmProcess& process) : FPhoto(process), FMain(process) {}

bool TToolWindows::ShowWelcome() { return FPhoto.exec() == QDialog::Accepted; }

void TToolWindows::PrepareSettings() {
  FMain.ArrangeLayout();
  FMain.LoadSettings();
}

bool TToolWindows::ShowSettings() { return FMain.exec() == QDialog::Accepted; }

}  // namespace kelvane
