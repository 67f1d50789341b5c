// The Vardex service program.

#include <memory>
#include <string>

#include "MainModule.h"
#include "VardexProgram.h"

namespace {

using namespace kelvane;

// The program's version information.
TVersionInfoSource VardexVersionInfo() {
  TVersionInfoSource info;
  info.GetVersionInfoString = [](const std::string& Key) -> std::string {
    if (Key == "ProductName") return "Kelvane";
    if (Key == "ServiceName") return "Vardex";
    if (Key == "DisplayName") return "Kelvane";
    return UnknownVersionValue;
  };
  info.GetFileVersionText = [](bool Short) -> std::string { return Short ? "4.5" : "4.5.0.8"; };
  return info;
}

// Stands in for the service core until it is linked in: it refuses to start.
class TMissingMainModule final : public IMainModule {
 public:
  void AttemptServiceStart(bool& Started, std::string& ErrorText) override {
    Started = false;
    ErrorText = "The service core is not part of this build";
  }
};

std::unique_ptr<IMainModule> CreateMainModule(TEventLoop& /*Loop*/, const TServiceOptions& /*Options*/) {
  return std::make_unique<TMissingMainModule>();
}

}  // namespace

int main(int argc, char* argv[]) {
  TProgramSetup setup = ProcessProgramSetup(argc, argv);
  setup.VersionInfo = VardexVersionInfo();
  setup.MainModuleFactory = CreateMainModule;
  return RunVardex(setup);
}
