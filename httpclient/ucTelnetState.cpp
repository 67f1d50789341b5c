#include "ucTelnetState.h"

namespace kelvane {

const char* TelnetStateName(TTelnetState state) {
  switch (state) {
    case telReady: return "telReady";
    case telBusy: return "telBusy";
    case telTimeOut: return "telTimeOut";
    case telHostCommand: return "telHostCommand";
    case telInvalidServer: return "telInvalidServer";
    case telMessageAccepted: return "telMessageAccepted";
    case telNoMailServer: return "telNoMailServer";
    case telNoWinsock: return "telNoWinsock";
    case telDisconnect: return "telDisconnect";
    case telReadError: return "telReadError";
    case telServerConnected: return "telServerConnected";
    case telServerDisconnected: return "telServerDisconnected";
    case telWinSockError: return "telWinSockError";
    case telWriteError: return "telWriteError";
  }
  return "unknown";
}

}  // namespace kelvane
