#include "ucTelnetClient.h"

#include <algorithm>
#include <string_view>

#include "ucSocket.h"
#include "ucSocketErrors.h"

namespace kelvane {

namespace {

using SteadyClock = std::chrono::steady_clock;

// Clears a flag when the scope ends, however it ends.
class TFlagReset {
 public:
  explicit TFlagReset(bool& flag) : FFlag(flag) {}
  ~TFlagReset() { FFlag = false; }
  TFlagReset(const TFlagReset&) = delete;
  TFlagReset& operator=(const TFlagReset&) = delete;

 private:
  bool& FFlag;
};

}  // namespace

TTelnetClient::TTelnetClient() : FSocket(std::make_unique<TSocketClient>()) {}

TTelnetClient::~TTelnetClient() = default;

void TTelnetClient::Execute() {
  // Re-entered from a notification or from OnProcessMessages while an
  // exchange runs: leave that exchange and its answer alone.
  if (FTelnetStatus == telBusy) {
    return;
  }
  FActive = true;
  const TFlagReset activeReset(FActive);
  ExchangeStarting();

  FSocket->SetUseWinSock(true);
  if (!FSocket->UseWinSock()) {
    SetTelnetStatus(telNoWinsock);
    return;
  }
  const THostAddress& target = FProxyHost.UseProxy() ? static_cast<const THostAddress&>(FProxyHost) : FHost;
  if (target.HostName().empty() && target.Address().empty()) {
    SetTelnetStatus(telNoMailServer);
    return;
  }

  SetTelnetStatus(telBusy);
  try {
    FSocket->SetUseWinSock(true);
    THostAddress& socketHost = FSocket->SocketHost();
    socketHost.SetHostName(target.HostName());
    socketHost.SetAddress(target.Address());
    socketHost.SetPort(target.Port());

    FSocket->OnRead = [this](TSocketClient&) { OnDataReceived(); };
    FSocket->OnOpen = [this](TSocketClient&) { OnConnected(); };
    FSocket->OnClose = [this](TSocketClient&) { OnDisconnected(); };
    FSocket->OnFailure = [this](TSocketClient&, const std::string& message) { SocketFailed(message); };

    FSocket->Open();

    if (Wait) {
      if (WaitMS > MaxWaitMS) {
        WaitMS = FallbackWaitMS;
      }
      const auto start = SteadyClock::now();
      const auto limit = std::chrono::milliseconds(WaitMS);
      FDeadline = start + limit;
      auto elapsed = SteadyClock::now() - start;
      while (Wait && !(ApplicationTerminated && ApplicationTerminated()) && FActive && elapsed < limit) {
        const auto remaining = std::chrono::duration_cast<std::chrono::milliseconds>(limit - elapsed).count();
        ProcessMessages(static_cast<int>(std::clamp<long long>(remaining, 0, ProcessMessagesIntervalMS)));
        elapsed = SteadyClock::now() - start;
      }
      FDeadline.reset();
      // A failure that ended the exchange early keeps its own state.
      if (FTelnetStatus == telBusy || FTelnetStatus == telDisconnect) {
        if (elapsed < limit) {
          SetTelnetStatus(telReady);
        } else {
          // Nothing more is expected from a connection that ran out of time.
          FSocket->Close();
          SetTelnetStatus(telTimeOut);
        }
      }
    }
  } catch (const EARPError& e) {
    FDeadline.reset();
    SetTelnetStatus(telInvalidServer);
    Advise(telInvalidServer, std::string("Error, ") + e.what());
  } catch (const ESocketError& e) {
    FDeadline.reset();
    FSocket->Close();
    SetTelnetStatus(telWinSockError);
    Advise(telWinSockError, std::string("Error, ") + e.what());
  } catch (...) {
    // The caller learns of the failure from the exception; the client must
    // not stay busy, or it would refuse every later exchange.
    FDeadline.reset();
    FSocket->Close();
    FTelnetStatus = telWinSockError;
    throw;
  }
}

void TTelnetClient::Write(const std::string& value) {
  const std::string text = value + "\r\n";
  std::size_t offset = 0;
  bool mustWait = false;
  try {
    if (DialogMemo != nullptr && DialogFlags.Contains(telWrite)) {
      CopyToMemo(text, false);
    }
    while (offset < text.size()) {
      ProcessMessages(mustWait ? ProcessMessagesIntervalMS : 0);
      const std::size_t remaining = text.size() - offset;
      FSocket->SendLine(std::string_view(text).substr(offset));
      const int taken = FSocket->Connection().BytesSent();
      if (taken >= 0 && static_cast<std::size_t>(taken) >= remaining) {
        break;
      }
      if (taken > 0) {
        offset += static_cast<std::size_t>(taken);
      }
      // The socket is full: wait for room rather than spin.
      mustWait = taken <= 0;
      if (FDeadline && SteadyClock::now() >= *FDeadline) {
        break;
      }
    }
  } catch (const std::exception& e) {
    SetTelnetStatus(telWriteError);
    Advise(telWriteError, value);
    Advise(telWriteError, e.what());
    FSocket->Close();
    throw;
  }
}

void TTelnetClient::OnConnected() {
  FBuffer.clear();
  if (DialogMemo != nullptr) {
    DialogMemo->clear();
  }
  const THostAddress& host = FSocket->SocketHost();
  const std::string& name = host.HostName().empty() ? host.Address() : host.HostName();
  Advise(telServerConnected, name + ":" + std::to_string(host.Port()));
}

void TTelnetClient::OnDataReceived() {
  try {
    const std::string text = FSocket->ReadLine();
    DoRead(text);
    if (DialogMemo != nullptr && DialogFlags.Contains(telRead)) {
      CopyToMemo(text, true);
    }
  } catch (const std::exception& e) {
    AbortExchange(telReadError, std::string("Error, ") + e.what());
    throw;
  }
}

void TTelnetClient::DoRead(const std::string& text) {
  if (OnRead) {
    OnRead(*this, text);
  }
}

void TTelnetClient::OnDisconnected() {
  FActive = false;
  if (FTelnetStatus == telBusy) {
    SetTelnetStatus(telDisconnect);
  } else {
    Advise(telServerDisconnected, "");
  }
}

void TTelnetClient::SetTelnetStatus(TTelnetState value) {
  Advise(value, "");
  FTelnetStatus = value;
}

void TTelnetClient::Advise(TTelnetState value, const std::string& text) {
  const std::string line = text.empty() ? StatusLine(value) : text;
  if (OnAdvise) {
    OnAdvise(*this, value, line);
  }
  if (DialogMemo != nullptr && DialogFlags.Contains(telAdvise)) {
    DialogMemo->push_back(">>> " + line);
  }
}

void TTelnetClient::AbortExchange(TTelnetState state, const std::string& text) {
  FSocket->Close();
  FActive = false;
  SetTelnetStatus(state);
  Advise(state, text);
}

void TTelnetClient::ProcessMessages(int waitMs) {
  ProcessSocketNotifications(waitMs);
  if (OnProcessMessages) {
    OnProcessMessages();
  }
}

void TTelnetClient::SocketFailed(const std::string& message) {
  if (FTelnetStatus == telBusy) {
    AbortExchange(telWinSockError, "Error, " + message);
  } else {
    Advise(telWinSockError, "Error, " + message);
  }
}

// Received text comes in arbitrary pieces: only whole lines go to the memo,
// the rest waits in FBuffer for the next piece.
void TTelnetClient::CopyToMemo(const std::string& text, bool keepPartialLine) {
  std::string pending = keepPartialLine ? FBuffer + text : text;
  std::size_t start = 0;
  for (std::size_t end = pending.find('\n'); end != std::string::npos; end = pending.find('\n', start)) {
    std::string line = pending.substr(start, end - start);
    if (!line.empty() && line.back() == '\r') {
      line.pop_back();
    }
    DialogMemo->push_back(line);
    start = end + 1;
  }
  std::string rest = pending.substr(start);
  if (keepPartialLine) {
    FBuffer = std::move(rest);
  } else if (!rest.empty()) {
    DialogMemo->push_back(rest);
  }
}

std::string TTelnetClient::StatusLine(TTelnetState state) const {
  return Name + ": " + TelnetStateName(state);
}

}  // namespace kelvane
