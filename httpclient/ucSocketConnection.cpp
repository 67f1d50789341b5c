#include "ucSocketConnection.h"

#include <algorithm>
#include <limits>
#include <vector>

#include "ucSocketClient.h"
#include "ucSocketErrors.h"

namespace kelvane {

TSocketConnection::TSocketConnection(TSocketClient& owner) : FOwner(owner) {}

TSocketConnection::~TSocketConnection() {
  Close();
}

void TSocketConnection::Open(THostAddress& host, TSocketNotificationHandler notify) {
  if (FSocket.IsOpen()) {
    Close();
  }
  if (!FSocket.Create()) {
    throw ESocketError("Can't create new socket");
  }
  try {
    LoadSocket(host);
  } catch (...) {
    Close();
    throw;
  }
  if (!FSocket.Select(std::move(notify))) {
    FOwner.Close();
    throw ESocketError("Open failed");
  }
  const TSocketIo connected = FSocket.Connect(FAddress, FPort);
  if (connected.Count < 0 && !connected.WouldBlock) {
    FOwner.Close();
    throw ESocketError("Open failed");
  }
  FActive = true;
}

void TSocketConnection::LoadSocket(THostAddress& host) {
  if (!host.HostName().empty()) {
    if (!LookupName(host.HostName(), FAddress)) {
      throw EARPError("Can't find host " + host.HostName());
    }
    host.SetAddress(FormatIPv4(FAddress));
  } else {
    if (host.Address().empty()) {
      throw ESocketError("No Address!");
    }
    if (!ParseIPv4(host.Address(), FAddress)) {
      throw ESocketError("Invalid address!");
    }
  }
  FPort = host.Port();
}

void TSocketConnection::Close() {
  FSocket.Close();
  FActive = false;
  FBytesSent = 0;
}

std::string TSocketConnection::ReadLine() {
  if (!FActive) {
    return std::string();
  }
  try {
    std::vector<char> buffer(MaxReadSize);
    const TSocketIo received = FSocket.Receive(buffer.data(), buffer.size());
    if (received.Count > 0) {
      // Every byte received is kept, zero bytes included: an answer is data,
      // not a C string.
      return std::string(buffer.data(), static_cast<std::size_t>(received.Count));
    }
    if (received.Count < 0 && !received.WouldBlock) {
      FOwner.ConnectionFailed("Receive failed: " + SocketErrorText(received.Error));
      return "(error)";
    }
    return std::string();
  } catch (...) {
    return "(error)";
  }
}

void TSocketConnection::SendLine(std::string_view value) {
  const int length = static_cast<int>(std::min<std::size_t>(value.size(), std::numeric_limits<int>::max()));
  if (!FActive) {
    FBytesSent = length;
    return;
  }
  const TSocketIo sent = FSocket.Send(value.data(), static_cast<std::size_t>(length));
  FBytesSent = static_cast<int>(sent.Count);
  if (sent.Count < 0 && !sent.WouldBlock) {
    FOwner.ConnectionFailed("Send failed: " + SocketErrorText(sent.Error));
    FBytesSent = -1;
  }
}

std::string TSocketConnection::LocalAddress() const {
  TIPv4Address address;
  std::uint16_t port = 0;
  return FSocket.LocalEndpoint(address, port) ? FormatIPv4(address) : std::string();
}

std::uint16_t TSocketConnection::LocalPort() const {
  TIPv4Address address;
  std::uint16_t port = 0;
  return FSocket.LocalEndpoint(address, port) ? port : std::uint16_t {0};
}

}  // namespace kelvane
