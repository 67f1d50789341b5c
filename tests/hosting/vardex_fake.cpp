// The vardex program with a fake main module, for tests that run the program
// as a real process. Environment:
//   KELVANE_FAKE_START=fail      the module refuses to start
//   KELVANE_FAKE_WAIT_FOR=<file> the start waits until the file exists
//   KELVANE_TEST_PRODUCT=<name>  the product name (the desktop instance ID)
// The module records "create ...", "start" and "destroy" in the /DRYRUN file.

#include <cstdlib>
#include <fstream>
#include <memory>
#include <string>

#include "FakeMainModule.h"
#include "VardexProgram.h"

namespace {

using namespace kelvane;

std::string Environment(const char* name, const std::string& fallback = {}) {
  const char* value = std::getenv(name);
  return value != nullptr ? std::string(value) : fallback;
}

}  // namespace

int main(int argc, char* argv[]) {
  TProgramSetup setup = ProcessProgramSetup(argc, argv);
  const std::string product = Environment("KELVANE_TEST_PRODUCT", "Kelvane");
  setup.VersionInfo.GetVersionInfoString = [product](const std::string& Key) -> std::string {
    if (Key == "ProductName") return product;
    if (Key == "ServiceName") return "Vardex";
    if (Key == "DisplayName") return "Kelvane";
    return UnknownVersionValue;
  };
  setup.VersionInfo.GetFileVersionText = [](bool Short) -> std::string { return Short ? "4.5" : "4.5.0.8"; };
  setup.MainModuleFactory = [](TEventLoop&, const TServiceOptions& Options) -> std::unique_ptr<IMainModule> {
    testing::TFakeBehaviour behaviour;
    behaviour.Start = Environment("KELVANE_FAKE_START") != "fail";
    if (!behaviour.Start) behaviour.ErrorText = "Certificate files are missing";
    behaviour.WaitForFile = Environment("KELVANE_FAKE_WAIT_FOR");
    const std::string recordFile = Options.DryRunRecordFile;
    return std::make_unique<testing::TFakeMainModule>(behaviour, Options, [recordFile](const std::string& Line) {
      if (recordFile.empty()) return;
      std::ofstream(recordFile, std::ios::app) << Line << "\n";
    });
  };
  return RunVardex(setup);
}
