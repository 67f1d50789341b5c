#pragma once

// What the service needs from systemd: status messages to the service manager
// and the systemctl commands that register and remove a unit.

#include <chrono>
#include <string>
#include <vector>

namespace kelvane {

// Sends a state line such as "READY=1" or "STOPPING=1" to the service manager
// that started the process. Does nothing when no service manager started it
// (the program runs in a terminal).
void NotifyServiceManager(const std::string& state);

// True when the machine was booted with systemd as its service manager.
bool SystemdIsRunning();

// Runs systemctl with the arguments and waits for it, at most
// SystemctlTimeOut. False, with systemctl's own error output (or the reason it
// could not run or was given up) in `error`, when it could not be run, ended
// with a failure or did not end in time.
bool RunSystemctl(const std::vector<std::string>& arguments, std::string& error);

// Longer than systemd's own default time-outs for starting and stopping a
// unit (90 s each), so that systemctl reports those itself.
inline constexpr std::chrono::seconds SystemctlTimeOut{120};

}  // namespace kelvane
