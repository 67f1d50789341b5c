#include "MultiTypeApp.h"

namespace kelvane {

void TNullApplication::CreateForm(std::unique_ptr<TDataModule> /*Module*/) {
  // Nobody owns modules here; they go away at once.
}

TMultiTypeApplication::TMultiTypeApplication(std::shared_ptr<ISvcApplication> ServiceKind,
                                             std::shared_ptr<IMultiTypeApplication> DesktopKind,
                                             std::shared_ptr<IMultiTypeApplication> ConsoleKind)
    : FServiceKind(std::move(ServiceKind)),
      FDesktopKind(std::move(DesktopKind)),
      FConsoleKind(std::move(ConsoleKind)),
      FNullKind(std::make_shared<TNullApplication>()) {}

IMultiTypeApplication& TMultiTypeApplication::CurrentKind() const {
  if (FServiceKind) return *FServiceKind;
  if (FDesktopKind) return *FDesktopKind;
  if (FConsoleKind) return *FConsoleKind;
  return *FNullKind;
}

void TMultiTypeApplication::Run() {
  if (FPreventRun || CurrentKind().Terminated()) return;
  CurrentKind().Run();
}

bool TMultiTypeApplication::IsUIEnabled() const { return ApplicationMode() == TmtaMode::mtamApp || FUIEnabled; }

TmtaMode TMultiTypeApplication::ApplicationMode() const {
  const IMultiTypeApplication* current = &CurrentKind();
  if (FServiceKind && current == FServiceKind.get()) {
    return FServiceKind->IsServiceMode() ? TmtaMode::mtamWinService : TmtaMode::mtamApp;
  }
  if (FDesktopKind && current == FDesktopKind.get()) return TmtaMode::mtamApp;
  if (FConsoleKind && current == FConsoleKind.get()) return TmtaMode::mtamConsole;
  return TmtaMode::mtamUnknown;
}

}  // namespace kelvane
