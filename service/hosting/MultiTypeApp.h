#pragma once

// The application facade. The program never talks to "the application"
// directly: it calls the one facade, which forwards each call to the
// application kind in charge. The kinds are kept in four slots consulted in
// this order: service, desktop, console, null; the first one set is current.
// The service program fills only the service slot.

#include <memory>
#include <string>

#include "DataModule.h"

namespace kelvane {

enum class TmtaMode { mtamUnknown = 0, mtamWinService = 1, mtamApp = 2, mtamConsole = 3 };

class IMultiTypeApplication {
 public:
  virtual ~IMultiTypeApplication() = default;
  // Takes the module over; the application destroys its modules at the end,
  // the last created first.
  virtual void CreateForm(std::unique_ptr<TDataModule> Module) = 0;
  virtual void Initialize() = 0;
  virtual void Run() = 0;
  virtual void Terminate() = 0;
  virtual bool Terminated() const = 0;
  virtual std::string Title() const = 0;
  virtual void SetTitle(const std::string& Title) = 0;
  // The exit status the run ended with.
  virtual int ExitCode() const = 0;
};

class IObservableComponent;
class TApplicationService;

class ISvcApplication : public IMultiTypeApplication {
 public:
  virtual bool IsInstalling() const = 0;
  virtual bool IsUninstalling() const = 0;
  // Whether the service is registered under its installed name. Throws when
  // the service control manager cannot be asked.
  virtual bool IsInstalled() const = 0;
  virtual bool IsServiceRunning() const = 0;
  virtual bool IsServiceMode() const = 0;
  virtual std::string ServiceName() const = 0;
  virtual void SetServiceName(const std::string& Value) = 0;
  virtual std::string DisplayName() const = 0;
  virtual void SetDisplayName(const std::string& Value) = 0;
  virtual bool Interactive() const = 0;
  virtual void SetInteractive(bool Value) = 0;
  virtual std::shared_ptr<IObservableComponent> StartNotify() = 0;
  virtual std::shared_ptr<IObservableComponent> StopNotify() = 0;
  // The arguments the service manager passed with the start request.
  virtual int ParamCount() const = 0;
  virtual std::string Param(int Index) const = 0;
  // The service object; nullptr outside the service modes.
  virtual TApplicationService* ApplicationService() const = 0;
};

// The kind of last resort: does nothing, and has always terminated.
class TNullApplication final : public IMultiTypeApplication {
 public:
  void CreateForm(std::unique_ptr<TDataModule> Module) override;
  void Initialize() override {}
  void Run() override {}
  void Terminate() override {}
  bool Terminated() const override { return true; }
  std::string Title() const override { return {}; }
  void SetTitle(const std::string&) override {}
  int ExitCode() const override { return 0; }
};

class TMultiTypeApplication {
 public:
  explicit TMultiTypeApplication(std::shared_ptr<ISvcApplication> ServiceKind,
                                 std::shared_ptr<IMultiTypeApplication> DesktopKind = nullptr,
                                 std::shared_ptr<IMultiTypeApplication> ConsoleKind = nullptr);
  TMultiTypeApplication(const TMultiTypeApplication&) = delete;
  TMultiTypeApplication& operator=(const TMultiTypeApplication&) = delete;

  IMultiTypeApplication& CurrentKind() const;
  // The service kind, or nullptr when that slot is empty.
  ISvcApplication* ServiceKind() const { return FServiceKind.get(); }

  void Initialize() { CurrentKind().Initialize(); }
  void CreateForm(std::unique_ptr<TDataModule> Module) { CurrentKind().CreateForm(std::move(Module)); }
  template <class TModule>
  TModule& CreateForm(std::unique_ptr<TModule> Module) {
    TModule& module = *Module;
    CurrentKind().CreateForm(std::move(Module));
    return module;
  }
  // Runs the current kind unless it has terminated or PreventRun was called.
  void Run();
  void Terminate() { CurrentKind().Terminate(); }
  bool Terminated() const { return CurrentKind().Terminated(); }
  std::string Title() const { return CurrentKind().Title(); }
  void SetTitle(const std::string& Title) { CurrentKind().SetTitle(Title); }
  int ExitCode() const { return CurrentKind().ExitCode(); }

  void PreventRun() { FPreventRun = true; }
  bool RunPrevented() const { return FPreventRun; }
  void EnableUI() { FUIEnabled = true; }
  bool IsUIEnabled() const;
  TmtaMode ApplicationMode() const;

 private:
  std::shared_ptr<ISvcApplication> FServiceKind;
  std::shared_ptr<IMultiTypeApplication> FDesktopKind;
  std::shared_ptr<IMultiTypeApplication> FConsoleKind;
  std::shared_ptr<IMultiTypeApplication> FNullKind;
  bool FPreventRun = false;
  bool FUIEnabled = false;
};

}  // namespace kelvane
