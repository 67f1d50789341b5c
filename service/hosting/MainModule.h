#pragma once

// The seam between the host and the service core: the start-up creates the
// core's main module through a factory and asks it once to start.

#include <functional>
#include <memory>
#include <string>
#include <utility>

#include "DataModule.h"

namespace kelvane {

class TEventLoop;

// Service options taken from the command line (or the service's start
// arguments) before the main module is created.
struct TServiceOptions {
  // Record reboots and shutdowns instead of performing them (/DRYRUN).
  bool DryRun = false;
  // Where the dry run records them (/DRYRUN=<file>); empty: no record file.
  std::string DryRunRecordFile;
};

class IMainModule : public TDataModule {
 public:
  // Loads what the service needs and starts it. Called once, on the main
  // thread, right after creation. Started tells whether the service runs;
  // ErrorText carries a reason for some failures and is empty otherwise.
  virtual void AttemptServiceStart(bool& Started, std::string& ErrorText) = 0;

  // The log file the module writes its start failures to; empty when unknown.
  virtual std::string ErrorLogPath() const { return {}; }

  // What the last start wrote to that log, one line each; empty when unknown.
  virtual std::string StartReport() const { return {}; }

  // Where the service listens ("address:port") once started; empty otherwise.
  virtual std::string ListeningAddress() const { return {}; }
};

// Creates the main module. `loop` is the main thread's event loop, which the
// module uses for its timers and main-thread work.
using TMainModuleFactory =
    std::function<std::unique_ptr<IMainModule>(TEventLoop& loop, const TServiceOptions& options)>;

// Wraps any class with matching AttemptServiceStart, ErrorLogPath,
// StartReport and ListeningAddress as the main module, so the service core
// needs no knowledge of this interface.
template <class TModule>
class TMainModuleAdapter final : public IMainModule {
 public:
  template <class... TArgs>
  explicit TMainModuleAdapter(TArgs&&... args) : FModule(std::forward<TArgs>(args)...) {}

  void AttemptServiceStart(bool& Started, std::string& ErrorText) override {
    FModule.AttemptServiceStart(Started, ErrorText);
  }

  std::string ErrorLogPath() const override { return FModule.ErrorLogPath(); }
  std::string StartReport() const override { return FModule.StartReport(); }
  std::string ListeningAddress() const override { return FModule.ListeningAddress(); }

  TModule& Module() { return FModule; }

 private:
  TModule FModule;
};

}  // namespace kelvane
