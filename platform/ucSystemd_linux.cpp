#include "ucSystemd.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdlib>
#include <cstring>

extern char** environ;

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
  int output[2];
  if (::pipe2(output, O_CLOEXEC) != 0) {
    error = std::string("cannot run systemctl: ") + std::strerror(errno);
    return false;
  }
  posix_spawn_file_actions_t actions;
  ::posix_spawn_file_actions_init(&actions);
  ::posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  ::posix_spawn_file_actions_adddup2(&actions, output[1], 1);
  ::posix_spawn_file_actions_adddup2(&actions, output[1], 2);

  std::vector<std::string> words {"systemctl"};
  words.insert(words.end(), arguments.begin(), arguments.end());
  std::vector<char*> argv;
  for (std::string& word : words) argv.push_back(word.data());
  argv.push_back(nullptr);

  pid_t child = 0;
  const int spawnError = ::posix_spawnp(&child, "systemctl", &actions, nullptr, argv.data(), environ);
  ::posix_spawn_file_actions_destroy(&actions);
  ::close(output[1]);
  if (spawnError != 0) {
    ::close(output[0]);
    error = std::string("cannot run systemctl: ") + std::strerror(spawnError);
    return false;
  }
  std::string text;
  char buffer[512];
  for (;;) {
    const ssize_t got = ::read(output[0], buffer, sizeof buffer);
    if (got > 0) {
      text.append(buffer, static_cast<std::size_t>(got));
    } else if (got == 0 || errno != EINTR) {
      break;
    }
  }
  ::close(output[0]);
  int status = 0;
  while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
  }
  if (WIFEXITED(status) && WEXITSTATUS(status) == 0) return true;
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
  std::string command = "systemctl";
  for (const std::string& argument : arguments) command += " " + argument;
  error = command + " failed" + (text.empty() ? std::string() : ": " + text);
  return false;
}

}  // namespace kelvane
