#pragma once

// Outgoing IPv4 TCP sockets that never block, with readiness notifications run
// on the thread that selected them. A socket asks for notifications once
// (Select); afterwards ProcessSocketNotifications, called from that thread's
// wait loops, runs the handlers of every socket of the thread in the order the
// readiness was seen.
//
// The notifications follow the asynchronous socket model the rest of the
// system was written against: "connect" once when the attempt ends (with an
// error code when it failed); "write" once after connecting and again only
// after a send that would have blocked; "read" once, and again only after the
// handler has called Receive, so a handler that reads part of the data is told
// again about the rest; "close" once when the peer has closed or reset the
// connection and every byte that arrived before has been read (with the error
// code of a reset).

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

namespace kelvane {

enum class TSocketNotification { Connect, Read, Write, OutOfBand, Close };

// The notification and the error code that came with it (0 = none).
using TSocketNotificationHandler = std::function<void(TSocketNotification notification, int error)>;

struct TIPv4Address {
  std::array<std::uint8_t, 4> Octets {};
};

// Starts the platform's socket library. Nothing needs starting on POSIX
// systems, so this always succeeds there.
bool StartSocketLibrary();

// Resolves a host name (or a dotted address) to its first IPv4 address.
// Names in the reserved ".invalid" domain are refused without asking any
// resolver, as such names must never resolve.
bool LookupName(const std::string& hostName, TIPv4Address& address);

// Reads a dotted IPv4 address ("192.0.2.1"); false when the text is not one.
bool ParseIPv4(const std::string& text, TIPv4Address& address);

std::string FormatIPv4(const TIPv4Address& address);

// The system's description of a socket error code.
std::string SocketErrorText(int error);

// Waits at most timeoutMs for readiness of the calling thread's sockets and
// runs their handlers on this thread. Handlers may call back into any socket,
// close it, or process notifications again. With no sockets to watch it just
// sleeps for the time given.
void ProcessSocketNotifications(int timeoutMs);

// The result of one Connect, Receive or Send call.
struct TSocketIo {
  long Count = 0;           // bytes moved; -1 when the call failed or would block
  bool WouldBlock = false;  // the call failed only because it would have blocked
  int Error = 0;            // the error code of any other failure
};

class TPlatformSocket {
 public:
  TPlatformSocket();
  ~TPlatformSocket();
  TPlatformSocket(const TPlatformSocket&) = delete;
  TPlatformSocket& operator=(const TPlatformSocket&) = delete;

  // Creates an IPv4 stream socket; false when the system refuses one.
  bool Create();
  bool IsOpen() const;

  // Makes the socket non-blocking and delivers its notifications to handler
  // from ProcessSocketNotifications on the calling thread. The socket must be
  // closed on that same thread.
  bool Select(TSocketNotificationHandler handler);

  // Starts connecting. Count is 0 when the attempt is under way or already
  // done (its end is announced by the connect notification), -1 otherwise.
  TSocketIo Connect(const TIPv4Address& address, std::uint16_t port);

  // One receive call of at most size bytes. Count 0 means the peer has closed.
  TSocketIo Receive(char* buffer, std::size_t size);

  // One send call. Count is the number of bytes the system took.
  TSocketIo Send(const char* data, std::size_t size);

  // The local end of the socket; false without a socket or when the query fails.
  bool LocalEndpoint(TIPv4Address& address, std::uint16_t& port) const;

  // Closes the socket (if any) and stops its notifications.
  void Close();

  // Opaque; public only so the platform file's helpers can name it.
  struct Impl;

 private:
  std::unique_ptr<Impl> FImpl;
};

}  // namespace kelvane
