#include "ucSystemd.h"

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <system_error>

#include "ucProcess.h"

namespace kelvane {

// systemd's notification protocol, which it keeps stable for programs that
// speak it on their own: one datagram holding the state text, sent to the
// AF_UNIX socket named by NOTIFY_SOCKET (a path, or an abstract name when it
// begins with "@"). Spoken here directly because libsystemd would load five
// more libraries, about a megabyte of resident memory, for this one message.
void NotifyServiceManager(const std::string& state) {
  const char* name = std::getenv("NOTIFY_SOCKET");
  if (name == nullptr || (name[0] != '/' && name[0] != '@')) return;
  sockaddr_un address {};
  address.sun_family = AF_UNIX;
  const std::size_t length = std::strlen(name);
  if (length >= sizeof address.sun_path) return;
  std::memcpy(address.sun_path, name, length);
  if (name[0] == '@') address.sun_path[0] = '\0';
  const int fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return;
  const auto size = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + length);
  ::sendto(fd, state.data(), state.size(), MSG_NOSIGNAL, reinterpret_cast<const sockaddr*>(&address), size);
  ::close(fd);
}

// The test systemd itself uses: its runtime folder exists only when it is
// the service manager.
bool SystemdIsRunning() {
  struct stat info {};
  return ::lstat("/run/systemd/system/", &info) == 0 && S_ISDIR(info.st_mode);
}

bool RunSystemctl(const std::vector<std::string>& arguments, std::string& error) {
  error.clear();
  std::string command = "systemctl";
  for (const std::string& argument : arguments) command += " " + argument;
  TProcessRun run;
  try {
    run = RunProgram("systemctl", arguments, {}, SystemctlTimeOut);
  } catch (const std::system_error& e) {
    error = "cannot run systemctl: " + std::string(e.what());
    return false;
  }
  switch (run.Status.End) {
    case TProcessEnd::NotStarted:
      error = "cannot run systemctl: " + std::string(std::strerror(run.StartError));
      return false;
    case TProcessEnd::TimedOut:
      error = command + " did not end within " + std::to_string(SystemctlTimeOut.count()) + " seconds";
      return false;
    case TProcessEnd::Exited:
    case TProcessEnd::Signalled:
      break;
  }
  if (run.Status.Succeeded()) return true;
  std::string text = std::move(run.Output);
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
  error = command + " failed" + (text.empty() ? std::string() : ": " + text);
  return false;
}

}  // namespace kelvane
