// The Vardex service program.

#include <iostream>
#include <memory>
#include <string>
#include <vector>

#include "KMX_dmMain.h"
#include "KMX_uHashPasswordCommand.h"
#include "MainModule.h"
#include "VardexProgram.h"
#include "ucPower.h"
#include "ucVersionInfo.h"

namespace {

using namespace kelvane;

std::unique_ptr<IMainModule> CreateMainModule(TEventLoop& Loop, const TServiceOptions& Options) {
  std::unique_ptr<IPowerBackend> power =
      Options.DryRun ? CreateDryRunPowerBackend(Options.DryRunRecordFile) : CreateSystemPowerBackend();
  return std::make_unique<TMainModuleAdapter<TdmMain>>(Loop, std::move(power));
}

}  // namespace

int main(int argc, char* argv[]) {
  if (WantsHashPassword(std::vector<std::string>(argv + 1, argv + argc))) {
    return RunHashPassword(std::cin, std::cout, std::cerr);
  }
  RegisterVersionResource(
      MakeVersionResource({{"ProductName", "Kelvane"}, {"ServiceName", "Vardex"}, {"DisplayName", "Kelvane"}}));
  TProgramSetup setup = ProcessProgramSetup(argc, argv);
  setup.VersionInfo.GetVersionInfoString = GetVersionInfoString;
  setup.VersionInfo.GetFileVersionText = GetFileVersionText;
  setup.MainModuleFactory = CreateMainModule;
  return RunVardex(setup);
}
