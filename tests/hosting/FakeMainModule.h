#pragma once

// A main module for tests: it starts or refuses as told, can hold its start
// until a file appears (so a process stays in its start-up while a test
// looks at it), and reports what happens to it through a record callback.

#include <chrono>
#include <functional>
#include <string>
#include <thread>

#include "MainModule.h"
#include "ucPaths.h"

namespace kelvane::testing {

struct TFakeBehaviour {
  bool Start = true;
  std::string ErrorText;
  // When set, AttemptServiceStart waits (at most a minute) until this file exists.
  std::string WaitForFile;
};

class TFakeMainModule final : public IMainModule {
 public:
  using TRecord = std::function<void(const std::string& Line)>;

  TFakeMainModule(TFakeBehaviour Behaviour, const TServiceOptions& Options, TRecord Record)
      : FBehaviour(std::move(Behaviour)), FRecord(std::move(Record)) {
    FRecord("create dryrun=" + std::to_string(Options.DryRun ? 1 : 0) + " file=" + Options.DryRunRecordFile);
  }
  ~TFakeMainModule() override { FRecord("destroy"); }

  void AttemptServiceStart(bool& Started, std::string& ErrorText) override {
    FRecord("start");
    if (!FBehaviour.WaitForFile.empty()) {
      const auto deadline = std::chrono::steady_clock::now() + std::chrono::minutes(1);
      while (!FileExists(FBehaviour.WaitForFile) && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
      }
    }
    Started = FBehaviour.Start;
    ErrorText = FBehaviour.ErrorText;
  }

  std::string ErrorLogPath() const override { return "/var/log/fake/Errors/today.log"; }

 private:
  TFakeBehaviour FBehaviour;
  TRecord FRecord;
};

}  // namespace kelvane::testing
