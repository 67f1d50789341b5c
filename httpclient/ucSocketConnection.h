#pragma once

// The one TCP connection of a socket component (TSocketClient). It connects
// without blocking, and reads and writes with single calls that never wait;
// the owning component turns the socket's notifications into its events.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "ucHostAddress.h"
#include "ucSocket.h"

namespace kelvane {

class TSocketClient;

class TSocketConnection {
 public:
  // The most one ReadLine takes from the socket.
  static constexpr std::size_t MaxReadSize = 8192;

  explicit TSocketConnection(TSocketClient& owner);
  ~TSocketConnection();
  TSocketConnection(const TSocketConnection&) = delete;
  TSocketConnection& operator=(const TSocketConnection&) = delete;

  // Closes any open socket, then starts connecting towards host. The
  // connection counts as open from here; notifications go to notify.
  // Throws ESocketError ("Can't create new socket", "No Address!",
  // "Invalid address!", "Open failed") or EARPError ("Can't find host " +
  // name).
  void Open(THostAddress& host, TSocketNotificationHandler notify);

  // Fills the socket address from host: the first address of its host name
  // (written back into host's Address), or else its dotted Address.
  void LoadSocket(THostAddress& host);

  void Close();

  // The text of one receive call (at most 8192 bytes, cut at a zero byte).
  // Empty when the connection is not open, nothing is waiting or the peer has
  // closed; "(error)" when receiving failed, which also closes the connection.
  std::string ReadLine();

  // Sends value in one call; BytesSent() tells how much the system took (-1
  // when nothing). A failure other than "would block" closes the connection.
  // On a connection that is not open nothing is sent and the whole length is
  // reported as sent.
  void SendLine(std::string_view value);

  int BytesSent() const { return FBytesSent; }
  bool Active() const { return FActive; }

  // The local end in dotted form and its port; "" and 0 without a socket.
  std::string LocalAddress() const;
  std::uint16_t LocalPort() const;

 private:
  friend class TSocketClient;

  TSocketClient& FOwner;
  int FBytesSent = 0;
  TPlatformSocket FSocket;
  TIPv4Address FAddress;
  std::uint16_t FPort = 0;
  bool FActive = false;
};

}  // namespace kelvane
