#pragma once

// Rebooting or powering off the machine, in three steps that the caller runs
// in order: make sure the process may do it, tell the logged-in sessions, and
// force it. The dry-run backend runs the same steps but records the last one
// instead of doing it; tests and demonstrations use it.

#include <memory>
#include <string>

namespace kelvane {

enum class TPowerAction { Reboot, Shutdown };

class IPowerBackend {
 public:
  virtual ~IPowerBackend() = default;

  // Step 1: enables the right to reboot for the calling thread. False when
  // the process does not hold that right at all.
  virtual bool EnableShutdownRight() = 0;

  // Step 2: tells the users logged in on terminals what is about to happen,
  // and flushes the file systems.
  virtual void NotifySessions(TPowerAction action) = 0;

  // Step 3: reboots or powers off the machine without stopping the services
  // one by one. Returns only if that failed (or in a dry run).
  virtual void Force(TPowerAction action) = 0;
};

// The real thing.
std::unique_ptr<IPowerBackend> CreateSystemPowerBackend();

// Runs steps 1 and 2 (without writing to anyone's terminal) and records step
// 3 as a line "reboot" or "shutdown": appended to `recordFile`, or written to
// stderr when that is empty.
std::unique_ptr<IPowerBackend> CreateDryRunPowerBackend(const std::string& recordFile);

// The word a dry run records for the action.
const char* PowerActionName(TPowerAction action);

}  // namespace kelvane
