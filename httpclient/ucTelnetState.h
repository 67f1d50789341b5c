#pragma once

// The progress of an exchange of TTelnetClient, and which traffic it copies
// to its dialog memo.

#include <initializer_list>

namespace kelvane {

enum TTelnetState {
  telReady = 0,               // created; an exchange ended before its time-out
  telBusy = 1,                // an exchange is running
  telTimeOut = 2,             // the wait ended because the time-out expired
  telHostCommand = 3,         // not set by these components
  telInvalidServer = 4,       // the host name had no address
  telMessageAccepted = 5,     // not set by these components
  telNoMailServer = 6,        // no host to connect to
  telNoWinsock = 7,           // the socket library failed to start
  telDisconnect = 8,          // the server closed the connection during an exchange
  telReadError = 9,           // the received data could not be handled
  telServerConnected = 10,    // (reported only) the connection came up
  telServerDisconnected = 11, // (reported only) the server closed outside an exchange
  telWinSockError = 12,       // a socket error ended the exchange
  telWriteError = 13,         // writing failed
};

// "telReady" .. "telWriteError".
const char* TelnetStateName(TTelnetState state);

enum TTelnetDialogFlag { telWrite, telRead, telAdvise };

// A set of TTelnetDialogFlag values.
class TTelnetDialogFlags {
 public:
  constexpr TTelnetDialogFlags() = default;
  constexpr TTelnetDialogFlags(std::initializer_list<TTelnetDialogFlag> flags) {
    for (const TTelnetDialogFlag flag : flags) {
      FBits |= Bit(flag);
    }
  }

  constexpr bool Contains(TTelnetDialogFlag flag) const { return (FBits & Bit(flag)) != 0; }
  constexpr void Include(TTelnetDialogFlag flag) { FBits |= Bit(flag); }
  constexpr void Exclude(TTelnetDialogFlag flag) { FBits &= ~Bit(flag); }
  constexpr bool operator==(const TTelnetDialogFlags&) const = default;

 private:
  static constexpr unsigned Bit(TTelnetDialogFlag flag) { return 1u << static_cast<unsigned>(flag); }

  unsigned FBits = 0;
};

}  // namespace kelvane
