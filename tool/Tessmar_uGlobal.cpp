#include "Tessmar_uGlobal.h"

namespace kelvane {

TToolGlobals& Global() {
  static TToolGlobals globals;
  return globals;
}

void ResetGlobals() { Global() = TToolGlobals{}; }

std::string HelpFilePathIn(const std::string& folder) { return folder + "Docs/vardex.html"; }

}  // namespace kelvane
