#include "ucAppRoleChannel.h"

// Channels are Unix sockets in the abstract namespace with message framing
// (SOCK_SEQPACKET): the name needs no file, and the kernel removes it when the
// serving process ends.

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <system_error>
#include <thread>
#include <vector>

namespace kelvane {
namespace {

// How long a connected client may take to send its message.
constexpr int ClientSendTimeoutMs = 1000;
// How often, and how far apart, a send retries while the server's queue is full.
constexpr int BusyRetries = 100;
constexpr auto BusyRetryPause = std::chrono::milliseconds(1);

class TFd {
 public:
  explicit TFd(int fd = -1) : FFd(fd) {}
  ~TFd() { Reset(); }
  TFd(const TFd&) = delete;
  TFd& operator=(const TFd&) = delete;
  int Get() const { return FFd; }
  void Reset(int fd = -1) {
    if (FFd >= 0) ::close(FFd);
    FFd = fd;
  }

 private:
  int FFd;
};

// The abstract address of a name. A name too long for the address keeps its
// start and a hash of the whole.
socklen_t MakeAddress(const std::string& name, sockaddr_un& address) {
  std::memset(&address, 0, sizeof address);
  address.sun_family = AF_UNIX;
  const std::size_t room = sizeof(address.sun_path) - 1;
  std::string text = name;
  if (text.size() > room) {
    std::uint64_t hash = 14695981039346656037ull;
    for (unsigned char c : name) hash = (hash ^ c) * 1099511628211ull;
    char buffer[20];
    std::snprintf(buffer, sizeof buffer, "#%016llx", static_cast<unsigned long long>(hash));
    text = name.substr(0, room - std::strlen(buffer)) + buffer;
  }
  std::memcpy(address.sun_path + 1, text.data(), text.size());
  return static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + text.size());
}

int NewSocket(bool nonBlocking) {
  return ::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC | (nonBlocking ? SOCK_NONBLOCK : 0), 0);
}

enum class TConnectResult { Connected, Busy, Missing, Failed };

TConnectResult ConnectTo(const std::string& name, TFd& socket) {
  sockaddr_un address {};
  const socklen_t length = MakeAddress(name, address);
  socket.Reset(NewSocket(true));
  if (socket.Get() < 0) return TConnectResult::Failed;
  if (::connect(socket.Get(), reinterpret_cast<const sockaddr*>(&address), length) == 0) return TConnectResult::Connected;
  if (errno == EAGAIN || errno == EINPROGRESS) return TConnectResult::Busy;
  if (errno == ECONNREFUSED || errno == ENOENT) return TConnectResult::Missing;
  return TConnectResult::Failed;
}

}  // namespace

struct TChannelServer::Impl {
  TFd Listener;
  TFd StopRead;
  TFd StopWrite;
  std::atomic<bool> Stopped {false};
};

TChannelServer::TChannelServer(const std::string& name) : FImpl(std::make_unique<Impl>()) {
  FImpl->Listener.Reset(NewSocket(false));
  if (FImpl->Listener.Get() < 0) throw std::system_error(errno, std::generic_category(), "cannot create channel " + name);
  sockaddr_un address {};
  const socklen_t length = MakeAddress(name, address);
  if (::bind(FImpl->Listener.Get(), reinterpret_cast<const sockaddr*>(&address), length) != 0 ||
      ::listen(FImpl->Listener.Get(), 255) != 0) {
    throw std::system_error(errno, std::generic_category(), "cannot create channel " + name);
  }
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0) {
    throw std::system_error(errno, std::generic_category(), "cannot create channel " + name);
  }
  FImpl->StopRead.Reset(fds[0]);
  FImpl->StopWrite.Reset(fds[1]);
}

TChannelServer::~TChannelServer() = default;

TChannelServer::TReceiveResult TChannelServer::ReceiveOne(std::string& message, std::size_t maxSize) {
  message.clear();
  if (FImpl->Stopped) return TReceiveResult::Stopped;
  pollfd waits[2] = {{FImpl->Listener.Get(), POLLIN, 0}, {FImpl->StopRead.Get(), POLLIN, 0}};
  if (::poll(waits, 2, -1) < 0) return TReceiveResult::NoMessage;
  if (FImpl->Stopped || (waits[1].revents & POLLIN) != 0) return TReceiveResult::Stopped;
  if ((waits[0].revents & POLLIN) == 0) return TReceiveResult::NoMessage;

  TFd client(::accept4(FImpl->Listener.Get(), nullptr, nullptr, SOCK_CLOEXEC));
  if (client.Get() < 0) return TReceiveResult::NoMessage;
  // A client that connects and stays silent must not block the channel.
  pollfd clientWaits[2] = {{client.Get(), POLLIN, 0}, {FImpl->StopRead.Get(), POLLIN, 0}};
  if (::poll(clientWaits, 2, ClientSendTimeoutMs) <= 0) return TReceiveResult::NoMessage;
  if (FImpl->Stopped || (clientWaits[1].revents & POLLIN) != 0) return TReceiveResult::Stopped;
  std::vector<char> buffer(maxSize > 0 ? maxSize : 1);
  const ssize_t received = ::recv(client.Get(), buffer.data(), maxSize, MSG_DONTWAIT);
  // A zero-length read is the client hanging up without sending anything.
  if (received <= 0) return TReceiveResult::NoMessage;
  message.assign(buffer.data(), static_cast<std::size_t>(received));
  return TReceiveResult::Message;
}

void TChannelServer::Stop() {
  FImpl->Stopped = true;
  const char wake = 1;
  [[maybe_unused]] const ssize_t ignored = ::write(FImpl->StopWrite.Get(), &wake, 1);
}

bool ChannelExists(const std::string& name) {
  TFd socket;
  const TConnectResult result = ConnectTo(name, socket);
  // Any failure other than "nobody serves this name" counts as a taken name:
  // it is safer to skip a name than to share one.
  return result != TConnectResult::Missing;
}

bool SendChannelMessage(const std::string& name, const std::string& message) {
  TFd socket;
  for (int attempt = 0;; ++attempt) {
    const TConnectResult result = ConnectTo(name, socket);
    if (result == TConnectResult::Connected) break;
    if (result != TConnectResult::Busy || attempt >= BusyRetries) return false;
    std::this_thread::sleep_for(BusyRetryPause);
  }
  const ssize_t sent = ::send(socket.Get(), message.data(), message.size(), MSG_NOSIGNAL);
  return sent == static_cast<ssize_t>(message.size());
}

}  // namespace kelvane
