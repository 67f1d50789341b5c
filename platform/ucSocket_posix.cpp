#include "ucSocket.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <map>
#include <vector>

namespace kelvane {

namespace {

// The sockets of one thread that asked for notifications, by a number that is
// never reused, so a handler that closes or destroys a socket cannot leave a
// dangling entry behind for the rest of a dispatch pass.
struct TSocketRegistry {
  std::map<std::uint64_t, TPlatformSocket::Impl*> Sockets;
  std::uint64_t LastId = 0;
};

TSocketRegistry& ThreadRegistry() {
  thread_local TSocketRegistry registry;
  return registry;
}

bool IsWouldBlock(int error) {
  return error == EAGAIN || error == EWOULDBLOCK || error == EINTR;
}

bool IsInvalidDomain(std::string name) {
  std::transform(name.begin(), name.end(), name.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  if (!name.empty() && name.back() == '.') {
    name.pop_back();
  }
  const std::string suffix = ".invalid";
  return name == "invalid" ||
         (name.size() > suffix.size() && name.compare(name.size() - suffix.size(), suffix.size(), suffix) == 0);
}

}  // namespace

struct TPlatformSocket::Impl {
  int Fd = -1;
  std::uint64_t Id = 0;
  TSocketRegistry* Registry = nullptr;
  TSocketNotificationHandler Handler;
  bool Started = false;     // Connect has been called
  bool Connecting = false;  // the connect notification is still due
  bool ReadArmed = false;
  bool WriteArmed = false;
  bool Finished = false;    // no further notifications (closed or failed)

  ~Impl() { Close(); }

  void Unregister() {
    if (Registry != nullptr) {
      Registry->Sockets.erase(Id);
      Registry = nullptr;
    }
  }

  void Close() {
    Unregister();
    if (Fd >= 0) {
      ::close(Fd);
      Fd = -1;
    }
    Handler = nullptr;
    Started = Connecting = ReadArmed = WriteArmed = Finished = false;
  }
};

namespace {

TPlatformSocket::Impl* FindSocket(std::uint64_t id) {
  auto& sockets = ThreadRegistry().Sockets;
  const auto found = sockets.find(id);
  return found == sockets.end() ? nullptr : found->second;
}

// The handler is copied first: it may close or destroy its own socket.
void Notify(TPlatformSocket::Impl& socket, TSocketNotification notification, int error) {
  const TSocketNotificationHandler handler = socket.Handler;
  if (handler) {
    handler(notification, error);
  }
}

void Dispatch(std::uint64_t id, short revents) {
  TPlatformSocket::Impl* socket = FindSocket(id);
  if (socket == nullptr) {
    return;
  }
  if (socket->Connecting) {
    int error = 0;
    socklen_t length = sizeof error;
    if (::getsockopt(socket->Fd, SOL_SOCKET, SO_ERROR, &error, &length) != 0) {
      error = errno;
    }
    socket->Connecting = false;
    if (error != 0) {
      socket->Finished = true;
      Notify(*socket, TSocketNotification::Connect, error);
      return;
    }
    socket->WriteArmed = true;
    Notify(*socket, TSocketNotification::Connect, 0);
    socket = FindSocket(id);
    if (socket != nullptr && socket->WriteArmed) {
      socket->WriteArmed = false;
      Notify(*socket, TSocketNotification::Write, 0);
    }
    // Data that is already waiting is announced on the next pass.
    return;
  }
  if ((revents & POLLOUT) != 0 && socket->WriteArmed) {
    socket->WriteArmed = false;
    Notify(*socket, TSocketNotification::Write, 0);
    socket = FindSocket(id);
    if (socket == nullptr) {
      return;
    }
  }
  if (socket->ReadArmed && (revents & (POLLIN | POLLERR | POLLHUP)) != 0) {
    // A look at the next byte tells data from the peer's close, and a close
    // is announced only once everything before it has been read.
    char probe = 0;
    const ssize_t peeked = ::recv(socket->Fd, &probe, 1, MSG_PEEK | MSG_DONTWAIT);
    const int error = errno;
    if (peeked > 0) {
      socket->ReadArmed = false;
      Notify(*socket, TSocketNotification::Read, 0);
    } else if (peeked == 0) {
      socket->Finished = true;
      Notify(*socket, TSocketNotification::Close, 0);
    } else if (!IsWouldBlock(error)) {
      socket->Finished = true;
      Notify(*socket, TSocketNotification::Close, error);
    }
    return;
  }
  if ((revents & (POLLERR | POLLHUP)) != 0) {
    // A broken connection whose handler has not read yet: stop watching for
    // writability, or poll would report the error again at once, forever.
    // The next send or receive reports the failure.
    socket->WriteArmed = false;
  }
}

}  // namespace

bool StartSocketLibrary() {
  return true;
}

bool LookupName(const std::string& hostName, TIPv4Address& address) {
  if (hostName.empty() || IsInvalidDomain(hostName)) {
    return false;
  }
  addrinfo hints {};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* results = nullptr;
  if (::getaddrinfo(hostName.c_str(), nullptr, &hints, &results) != 0 || results == nullptr) {
    return false;
  }
  bool found = false;
  for (const addrinfo* entry = results; entry != nullptr; entry = entry->ai_next) {
    if (entry->ai_family == AF_INET && entry->ai_addr != nullptr) {
      sockaddr_in ipv4 {};
      std::memcpy(&ipv4, entry->ai_addr, sizeof ipv4);
      std::memcpy(address.Octets.data(), &ipv4.sin_addr.s_addr, 4);
      found = true;
      break;
    }
  }
  ::freeaddrinfo(results);
  return found;
}

bool ParseIPv4(const std::string& text, TIPv4Address& address) {
  in_addr parsed {};
  if (::inet_pton(AF_INET, text.c_str(), &parsed) != 1) {
    return false;
  }
  std::memcpy(address.Octets.data(), &parsed.s_addr, 4);
  return true;
}

std::string FormatIPv4(const TIPv4Address& address) {
  const auto& o = address.Octets;
  return std::to_string(o[0]) + "." + std::to_string(o[1]) + "." + std::to_string(o[2]) + "." +
         std::to_string(o[3]);
}

std::string SocketErrorText(int error) {
  char buffer[256];
  return ::strerror_r(error, buffer, sizeof buffer);
}

void ProcessSocketNotifications(int timeoutMs) {
  std::vector<pollfd> watched;
  std::vector<std::uint64_t> ids;
  for (const auto& [id, socket] : ThreadRegistry().Sockets) {
    if (!socket->Started || socket->Finished) {
      continue;
    }
    short events = 0;
    if (socket->Connecting) {
      events = POLLOUT;
    } else {
      if (socket->ReadArmed) {
        events |= POLLIN;
      }
      if (socket->WriteArmed) {
        events |= POLLOUT;
      }
    }
    if (events != 0) {
      watched.push_back(pollfd {socket->Fd, events, 0});
      ids.push_back(id);
    }
  }
  const int ready = ::poll(watched.data(), static_cast<nfds_t>(watched.size()), std::max(timeoutMs, 0));
  if (ready <= 0) {
    return;
  }
  for (std::size_t i = 0; i < watched.size(); ++i) {
    if (watched[i].revents != 0) {
      Dispatch(ids[i], watched[i].revents);
    }
  }
}

TPlatformSocket::TPlatformSocket() : FImpl(std::make_unique<Impl>()) {}

TPlatformSocket::~TPlatformSocket() = default;

bool TPlatformSocket::Create() {
  Close();
  FImpl->Fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, IPPROTO_TCP);
  return FImpl->Fd >= 0;
}

bool TPlatformSocket::IsOpen() const {
  return FImpl->Fd >= 0;
}

bool TPlatformSocket::Select(TSocketNotificationHandler handler) {
  if (FImpl->Fd < 0) {
    return false;
  }
  const int flags = ::fcntl(FImpl->Fd, F_GETFL, 0);
  if (flags < 0 || ::fcntl(FImpl->Fd, F_SETFL, flags | O_NONBLOCK) != 0) {
    return false;
  }
  FImpl->Unregister();
  auto& registry = ThreadRegistry();
  FImpl->Id = ++registry.LastId;
  FImpl->Registry = &registry;
  registry.Sockets[FImpl->Id] = FImpl.get();
  FImpl->Handler = std::move(handler);
  FImpl->ReadArmed = true;
  return true;
}

TSocketIo TPlatformSocket::Connect(const TIPv4Address& address, std::uint16_t port) {
  TSocketIo result;
  sockaddr_in target {};
  target.sin_family = AF_INET;
  target.sin_port = htons(port);
  std::memcpy(&target.sin_addr.s_addr, address.Octets.data(), 4);
  if (::connect(FImpl->Fd, reinterpret_cast<const sockaddr*>(&target), sizeof target) == 0 ||
      errno == EINPROGRESS || errno == EINTR) {
    // Even a connection made at once is announced by the connect
    // notification, so callers see one order of events.
    FImpl->Started = true;
    FImpl->Connecting = true;
    return result;
  }
  result.Count = -1;
  result.Error = errno;
  result.WouldBlock = result.Error == EAGAIN || result.Error == EWOULDBLOCK;
  return result;
}

TSocketIo TPlatformSocket::Receive(char* buffer, std::size_t size) {
  TSocketIo result;
  FImpl->ReadArmed = true;
  const ssize_t received = ::recv(FImpl->Fd, buffer, size, MSG_DONTWAIT);
  if (received < 0) {
    result.Count = -1;
    result.Error = errno;
    result.WouldBlock = IsWouldBlock(result.Error);
    if (result.WouldBlock) {
      result.Error = 0;
    }
    return result;
  }
  result.Count = static_cast<long>(received);
  return result;
}

TSocketIo TPlatformSocket::Send(const char* data, std::size_t size) {
  TSocketIo result;
  // MSG_NOSIGNAL: a peer that has gone away must give an error, not SIGPIPE.
  const ssize_t sent = ::send(FImpl->Fd, data, size, MSG_NOSIGNAL | MSG_DONTWAIT);
  if (sent < 0) {
    result.Count = -1;
    result.Error = errno;
    result.WouldBlock = IsWouldBlock(result.Error);
    if (result.WouldBlock) {
      result.Error = 0;
      FImpl->WriteArmed = true;
    }
    return result;
  }
  result.Count = static_cast<long>(sent);
  return result;
}

bool TPlatformSocket::LocalEndpoint(TIPv4Address& address, std::uint16_t& port) const {
  if (FImpl->Fd < 0) {
    return false;
  }
  sockaddr_in local {};
  socklen_t length = sizeof local;
  if (::getsockname(FImpl->Fd, reinterpret_cast<sockaddr*>(&local), &length) != 0 || local.sin_family != AF_INET) {
    return false;
  }
  std::memcpy(address.Octets.data(), &local.sin_addr.s_addr, 4);
  port = ntohs(local.sin_port);
  return true;
}

void TPlatformSocket::Close() {
  FImpl->Close();
}

}  // namespace kelvane
