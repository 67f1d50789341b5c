#pragma once

// The service object the service framework runs: its registration data
// (name, display name, start type) and its start and stop events.

#include <atomic>
#include <stdexcept>
#include <string>

#include "DataModule.h"

namespace kelvane {

// A component name that is not an identifier.
class EComponentError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

enum class TStartType { stManual, stAuto };

enum class TServiceStatus { csStopped, csStartPending, csStopPending, csRunning };

class TService : public TDataModule {
 public:
  explicit TService(std::string Name);

  // The component name, which is also the service name. It must be empty or
  // an identifier (a letter or underscore, then letters, digits or
  // underscores); anything else raises EComponentError.
  const std::string& Name() const { return FName; }
  void SetName(const std::string& Name);

  // The display name; an empty one answers the service name.
  std::string DisplayName() const { return FDisplayName.empty() ? FName : FDisplayName; }
  void SetDisplayName(const std::string& DisplayName) { FDisplayName = DisplayName; }

  bool Interactive() const { return FInteractive; }
  void SetInteractive(bool Interactive) { FInteractive = Interactive; }
  bool AllowPause() const { return FAllowPause; }
  TStartType StartType() const { return FStartType; }
  void SetStartType(TStartType StartType) { FStartType = StartType; }

  TServiceStatus Status() const { return FStatus; }
  void SetStatus(TServiceStatus Status) { FStatus = Status; }

  // The start event, on the service thread: Started comes in true; the service
  // runs when it is still true afterwards.
  virtual void ServiceStart(bool& Started);
  // The stop event, on the service thread.
  virtual void ServiceStop(bool& Stopped);

 protected:
  bool FAllowPause = true;
  bool FInteractive = false;
  TStartType FStartType = TStartType::stAuto;

 private:
  std::string FName;
  std::string FDisplayName;
  std::atomic<TServiceStatus> FStatus {TServiceStatus::csStopped};
};

// The message for a name that cannot be a component name.
std::string InvalidComponentNameMessage(const std::string& Name);

// True for an empty name or an identifier.
bool IsValidComponentName(const std::string& Name);

}  // namespace kelvane
