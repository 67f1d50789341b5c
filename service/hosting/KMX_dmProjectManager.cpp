#include "KMX_dmProjectManager.h"

#include <iostream>
#include <stdexcept>

#include "ApplicationService.h"
#include "MultiTypeApp.h"

namespace kelvane {

TDataModuleProjMgr::TDataModuleProjMgr(TProjectContext Context, TMainModuleFactory MainModuleFactory)
    : FMainModuleFactory(std::move(MainModuleFactory)),
      FVDXProjMgr(std::make_unique<TProjectManager>(std::move(Context))) {
  TProjectManager& manager = *FVDXProjMgr;
  manager.SetIdentifier("vardex");
  manager.SetInstanceMonitoringMode(TServiceInstanceMonitoringMode::simmLimitOneInstance);
  manager.OnDataModulesCreate1 = [this](TProjectManager& Sender, std::string& ErrorText, bool& Continue) {
    VDXProjMgrDataModulesCreate1(Sender, ErrorText, Continue);
  };
  manager.OnDataModulesCreate2 = [this](TProjectManager& Sender, const std::string& SuggestedAppID,
                                        std::string& ErrorText, bool& Continue) {
    VDXProjMgrDataModulesCreate2(Sender, SuggestedAppID, ErrorText, Continue);
  };
  DataModuleCreate();
}

void TDataModuleProjMgr::DataModuleCreate() {
  ISvcApplication* service = FVDXProjMgr->Context().App->ServiceKind();
  if (service != nullptr && service->ApplicationService() != nullptr) {
    service->ApplicationService()->SetStartType(TStartType::stAuto);
  }
}

TServiceOptions TDataModuleProjMgr::ServiceOptionsOf(const TProjectManager& Manager) {
  TServiceOptions options;
  options.DryRun = Manager.ProjectParamValue("DRYRUN", options.DryRunRecordFile);
  return options;
}

void TDataModuleProjMgr::VDXProjMgrDataModulesCreate1(TProjectManager& Sender, std::string& /*ErrorText*/,
                                                      bool& /*Continue*/) {
  std::unique_ptr<IMainModule> module = FMainModuleFactory(*Sender.Context().Loop, ServiceOptionsOf(Sender));
  if (!module) throw std::runtime_error("The main module could not be created");
  FdmMain = &Sender.Context().App->CreateForm(std::move(module));
}

void TDataModuleProjMgr::VDXProjMgrDataModulesCreate2(TProjectManager& Sender,
                                                      const std::string& /*SuggestedAppID*/, std::string& ErrorText,
                                                      bool& Continue) {
  if (FdmMain == nullptr) {
    Continue = false;
    ErrorText = "The main module was not created";
    return;
  }
  FdmMain->AttemptServiceStart(Continue, ErrorText);
  // The service's output goes to the journal: it says where it can be
  // reached (the login path stays a secret of the configuration file).
  const std::string address = FdmMain->ListeningAddress();
  if (Continue && !address.empty() && Sender.Context().App->ApplicationMode() == TmtaMode::mtamWinService) {
    std::cout << "Listening on https://" << address << "/" << std::endl;
  }
}

}  // namespace kelvane
