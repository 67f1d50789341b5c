// The Vardex service program.

#include <memory>
#include <string>

#include "KMX_dmMain.h"
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
  RegisterVersionResource(
      MakeVersionResource({{"ProductName", "Kelvane"}, {"ServiceName", "Vardex"}, {"DisplayName", "Kelvane"}}));
  TProgramSetup setup = ProcessProgramSetup(argc, argv);
  setup.VersionInfo.GetVersionInfoString = GetVersionInfoString;
  setup.VersionInfo.GetFileVersionText = GetFileVersionText;
  setup.MainModuleFactory = CreateMainModule;
  return RunVardex(setup);
}
