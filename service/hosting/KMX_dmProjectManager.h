#pragma once

// The start-up module: created first by the program, it holds the project
// manager VDXProjMgr and the two step handlers that create the service core's
// main module and start it.

#include <memory>
#include <string>

#include "DataModule.h"
#include "MainModule.h"
#include "ProjectManager.h"

namespace kelvane {

class TDataModuleProjMgr final : public TDataModule {
 public:
  // Builds the project manager as the module was designed (identifier
  // "vardex", one desktop instance at a time, the two step handlers) and runs
  // DataModuleCreate.
  TDataModuleProjMgr(TProjectContext Context, TMainModuleFactory MainModuleFactory);

  TProjectManager& VDXProjMgr() { return *FVDXProjMgr; }

  // In a service mode the service starts automatically with the machine.
  void DataModuleCreate();
  // Creates the main module through the application, which owns it from then on.
  void VDXProjMgrDataModulesCreate1(TProjectManager& Sender, std::string& ErrorText, bool& Continue);
  // Starts the main module; its verdict becomes the step's.
  void VDXProjMgrDataModulesCreate2(TProjectManager& Sender, const std::string& SuggestedAppID,
                                    std::string& ErrorText, bool& Continue);

  // The main module once created; nullptr before.
  IMainModule* dmMain() const { return FdmMain; }

  // The service options found among the parameters (/DRYRUN[=<file>]).
  static TServiceOptions ServiceOptionsOf(const TProjectManager& Manager);

 private:
  TMainModuleFactory FMainModuleFactory;
  std::unique_ptr<TProjectManager> FVDXProjMgr;
  IMainModule* FdmMain = nullptr;
};

}  // namespace kelvane
