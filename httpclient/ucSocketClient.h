#pragma once

// A socket component: one outgoing TCP connection towards SocketHost, whose
// notifications become events run on the thread that opened it, whenever that
// thread calls ProcessSocketNotifications (platform/ucSocket.h).

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "ucHostAddress.h"
#include "ucSocket.h"
#include "ucSocketConnection.h"

namespace kelvane {

class TSocketClient {
 public:
  using TNotifyEvent = std::function<void(TSocketClient& sender)>;
  using TMessageEvent = std::function<void(TSocketClient& sender, const std::string& message)>;

  TSocketClient();
  ~TSocketClient();
  TSocketClient(const TSocketClient&) = delete;
  TSocketClient& operator=(const TSocketClient&) = delete;

  // True once the platform's socket library has been started by this
  // component. Setting true starts it (and stays false if that fails);
  // setting false only clears the flag.
  bool UseWinSock() const { return FUseWinSock; }
  void SetUseWinSock(bool value);

  // Where Open connects.
  THostAddress& SocketHost() { return FSocketHost; }
  const THostAddress& SocketHost() const { return FSocketHost; }

  TSocketConnection& Connection() { return *FConnection; }
  const TSocketConnection& Connection() const { return *FConnection; }

  // Starts the socket library when needed and opens Connection towards
  // SocketHost. Throws ESocketError or EARPError (see TSocketConnection::Open).
  void Open();
  void Close();

  std::string ReadLine() { return FConnection->ReadLine(); }
  void SendLine(std::string_view value) { FConnection->SendLine(value); }

  TNotifyEvent OnOpen;   // the connection is established
  TNotifyEvent OnRead;   // data can be read
  TNotifyEvent OnWrite;  // sending is possible again
  TNotifyEvent OnError;  // out-of-band data; never raised, as it is never asked for
  TNotifyEvent OnClose;  // the peer closed the connection

  // The connection failed after the attempt had started: the connection was
  // refused or timed out, was reset, or a receive or send failed. The
  // connection is already closed when this runs. A reset is followed by
  // OnClose.
  TMessageEvent OnFailure;

  // An exception escaped one of the event handlers above. The notification
  // handling goes on. Without a handler the message goes to the standard
  // error stream.
  TMessageEvent OnException;

 private:
  friend class TSocketConnection;

  void Notification(TSocketNotification notification, int error);
  void ConnectionFailed(const std::string& message);
  void HandleException(const std::string& message);

  bool FUseWinSock = false;
  THostAddress FSocketHost;
  std::unique_ptr<TSocketConnection> FConnection;
};

}  // namespace kelvane
