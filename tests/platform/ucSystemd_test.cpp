#include "ucSystemd.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <string>

#include "TempDir.h"

namespace kelvane {
namespace {

// A datagram socket bound where NOTIFY_SOCKET points, as systemd's own.
class NotifyReceiver {
 public:
  // `name` is a path, or an abstract name written with a leading "@".
  explicit NotifyReceiver(const std::string& name) {
    FFd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_un address {};
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, name.data(), name.size());
    if (name[0] == '@') address.sun_path[0] = '\0';
    const auto size = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + name.size());
    FBound = ::bind(FFd, reinterpret_cast<const sockaddr*>(&address), size) == 0;
    ::setenv("NOTIFY_SOCKET", name.c_str(), 1);
  }
  ~NotifyReceiver() {
    ::unsetenv("NOTIFY_SOCKET");
    ::close(FFd);
  }
  bool Bound() const { return FBound; }
  std::string Receive() const {
    char buffer[256];
    const ssize_t got = ::recv(FFd, buffer, sizeof buffer, MSG_DONTWAIT);
    return got > 0 ? std::string(buffer, static_cast<std::size_t>(got)) : std::string();
  }

 private:
  int FFd = -1;
  bool FBound = false;
};

TEST(ucSystemdTest, StateLinesReachPathAndAbstractNotifySockets) {
  const testing::TempDir folder;
  const std::string names[] = {folder.Path() + "notify", "@kelvane/notify/" + std::to_string(::getpid())};
  for (const std::string& name : names) {
    NotifyReceiver receiver(name);
    ASSERT_TRUE(receiver.Bound()) << name;
    NotifyServiceManager("READY=1");
    EXPECT_EQ(receiver.Receive(), "READY=1") << name;
    NotifyServiceManager("STOPPING=1");
    EXPECT_EQ(receiver.Receive(), "STOPPING=1") << name;
  }
}

TEST(ucSystemdTest, WithoutAServiceManagerTheStateGoesNowhere) {
  ::unsetenv("NOTIFY_SOCKET");
  NotifyServiceManager("READY=1");
  // Names systemd never hands out, and one too long for a socket address.
  for (const std::string& name : {std::string("relative/notify"), std::string(200, '/')}) {
    ::setenv("NOTIFY_SOCKET", name.c_str(), 1);
    NotifyServiceManager("READY=1");
  }
  ::unsetenv("NOTIFY_SOCKET");
}

// A stand-in systemctl first on PATH: it prints its arguments and fails when
// the first one is "fail", as the real one reports a unit it does not know.
class FakeSystemctl {
 public:
  FakeSystemctl() {
    const std::string script = FDir.WriteFile("systemctl",
                                              "#!/bin/sh\n"
                                              "if [ \"$1\" = fail ]; then echo \"Unit $2 not found.\" >&2; exit 5; fi\n"
                                              "echo \"$@\"\n");
    ::chmod(script.c_str(), 0755);
    const char* path = std::getenv("PATH");
    FOldPath = path != nullptr ? path : "";
    ::setenv("PATH", (FDir.Path() + ":" + FOldPath).c_str(), 1);
  }
  ~FakeSystemctl() { ::setenv("PATH", FOldPath.c_str(), 1); }

 private:
  testing::TempDir FDir;
  std::string FOldPath;
};

TEST(ucSystemdTest, SystemctlFailuresCarryTheCommandAndItsMessage) {
  FakeSystemctl fake;
  std::string error = "left over";
  EXPECT_TRUE(RunSystemctl({"enable", "Vardex.service"}, error));
  EXPECT_EQ(error, "");
  EXPECT_FALSE(RunSystemctl({"fail", "Nothing.service"}, error));
  EXPECT_EQ(error, "systemctl fail Nothing.service failed: Unit Nothing.service not found.");
}

}  // namespace
}  // namespace kelvane
