#pragma once

// One request/answer exchange over a TSocketClient: connect, let a subclass
// write once the connection is up, collect what arrives, and wait on the
// calling thread until the server closes the connection, the exchange fails
// or the wait time runs out. While it waits it keeps handling the socket's
// notifications and calls OnProcessMessages, so the caller's user interface
// stays responsive (and may call back into the client).

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "ucHostAddress.h"
#include "ucSocketClient.h"
#include "ucTelnetState.h"

namespace kelvane {

using TStringList = std::vector<std::string>;

class TTelnetClient {
 public:
  using TAdviseEvent = std::function<void(TTelnetClient& sender, TTelnetState value, const std::string& text)>;
  using TReadEvent = std::function<void(TTelnetClient& sender, const std::string& text)>;

  // The longest allowed wait; a longer WaitMS becomes FallbackWaitMS.
  static constexpr std::uint32_t MaxWaitMS = 60000;
  static constexpr std::uint32_t FallbackWaitMS = 15000;

  TTelnetClient();
  virtual ~TTelnetClient();
  TTelnetClient(const TTelnetClient&) = delete;
  TTelnetClient& operator=(const TTelnetClient&) = delete;

  // Runs one exchange with Host (or ProxyHost when its UseProxy is set).
  // Afterwards TelnetStatus tells how it ended: telReady when the server
  // closed the connection in time; telTimeOut when WaitMS ran out;
  // telInvalidServer, telNoMailServer, telWinSockError, telReadError or
  // telWriteError when it failed (with an advisory that says why). Does
  // nothing while an exchange is already running. An exception thrown by
  // OnProcessMessages, ApplicationTerminated or OnAdvise leaves Execute; the
  // exchange then ends with the connection closed and telWinSockError.
  void Execute();

  // Sends value and a carriage return and line feed, handling notifications
  // and calling OnProcessMessages while the socket cannot take more. Gives up
  // when the running exchange's wait time is over.
  void Write(const std::string& value);

  // Execute waits for the end of the exchange. Without waiting, Execute
  // returns once the connection attempt has started (state telBusy) and the
  // exchange goes on only while the caller runs ProcessSocketNotifications.
  bool Wait = true;
  // The wait in milliseconds; above MaxWaitMS, Execute sets it to FallbackWaitMS.
  std::uint32_t WaitMS = 30000;
  // Which traffic is copied to DialogMemo.
  TTelnetDialogFlags DialogFlags {telWrite, telRead, telAdvise};
  // Optional lines that receive copies of the traffic and ">>> " advisories.
  TStringList* DialogMemo = nullptr;
  // Kept for the caller; not used by the exchange.
  std::string Subject;
  // Names the component in generated status lines.
  std::string Name = "TelnetClient";

  TSocketClient& Socket() { return *FSocket; }
  THostAddress& Host() { return FHost; }
  const THostAddress& Host() const { return FHost; }
  TProxyHostAddress& ProxyHost() { return FProxyHost; }
  const TProxyHostAddress& ProxyHost() const { return FProxyHost; }

  TTelnetState TelnetStatus() const { return FTelnetStatus; }
  // Always false.
  bool Sent() const { return false; }
  // True while Execute runs, until the server closes the connection.
  bool Active() const { return FActive; }

  // Every state change and every advisory, with its text (a status line
  // naming the component and the state when there is no detail).
  TAdviseEvent OnAdvise;
  // Every piece of received text.
  TReadEvent OnRead;

  // Handles the caller's own pending events (window messages); called at
  // least every ProcessMessagesIntervalMS while Execute waits, and on every
  // pass of Write.
  std::function<void()> OnProcessMessages;
  // True when the application is ending; Execute then stops waiting.
  std::function<bool()> ApplicationTerminated;

  static constexpr int ProcessMessagesIntervalMS = 10;

 protected:
  // Called at the start of each exchange that goes ahead.
  virtual void ExchangeStarting() {}
  // The connection is up.
  virtual void OnConnected();
  // Data can be read: reads one piece and hands it to DoRead.
  virtual void OnDataReceived();
  // One piece of received text.
  virtual void DoRead(const std::string& text);
  // The server closed the connection.
  virtual void OnDisconnected();

  // Reports the state (OnAdvise, memo), then stores it.
  void SetTelnetStatus(TTelnetState value);
  // Reports an advisory without changing the state.
  void Advise(TTelnetState value, const std::string& text);
  // Ends the exchange at once with a failure state and a reason: the
  // connection is closed and the wait stops.
  void AbortExchange(TTelnetState state, const std::string& text);
  // Handles socket notifications for at most waitMS, then the caller's events.
  void ProcessMessages(int waitMs);

 private:
  void SocketFailed(const std::string& message);
  void CopyToMemo(const std::string& text, bool keepPartialLine);
  std::string StatusLine(TTelnetState state) const;

  std::unique_ptr<TSocketClient> FSocket;
  THostAddress FHost;
  TProxyHostAddress FProxyHost;
  TTelnetState FTelnetStatus = telReady;
  bool FActive = false;
  std::string FBuffer;
  std::optional<std::chrono::steady_clock::time_point> FDeadline;
};

}  // namespace kelvane
