#include "ucSocketClient.h"

#include <exception>
#include <iostream>

namespace kelvane {

TSocketClient::TSocketClient() : FConnection(std::make_unique<TSocketConnection>(*this)) {}

TSocketClient::~TSocketClient() {
  FConnection.reset();
  FUseWinSock = false;
}

void TSocketClient::SetUseWinSock(bool value) {
  FUseWinSock = value && StartSocketLibrary();
}

void TSocketClient::Open() {
  if (!FUseWinSock) {
    SetUseWinSock(true);
  }
  FConnection->Open(FSocketHost, [this](TSocketNotification notification, int error) {
    Notification(notification, error);
  });
}

void TSocketClient::Close() {
  FConnection->Close();
}

void TSocketClient::Notification(TSocketNotification notification, int error) {
  // A handler may close the connection, open a new one or process further
  // notifications before it returns; nothing here relies on state read
  // before a handler ran.
  try {
    switch (notification) {
      case TSocketNotification::Connect:
        if (error != 0) {
          ConnectionFailed("Open failed: " + SocketErrorText(error));
          return;
        }
        FConnection->FActive = true;
        if (OnOpen) {
          OnOpen(*this);
        }
        break;
      case TSocketNotification::Read:
        if (OnRead) {
          OnRead(*this);
        }
        break;
      case TSocketNotification::Write:
        if (OnWrite) {
          OnWrite(*this);
        }
        break;
      case TSocketNotification::OutOfBand:
        if (OnError) {
          OnError(*this);
        }
        break;
      case TSocketNotification::Close:
        if (error != 0) {
          ConnectionFailed("Connection closed: " + SocketErrorText(error));
        }
        if (OnClose) {
          OnClose(*this);
        }
        FConnection->Close();
        break;
    }
  } catch (const std::exception& e) {
    HandleException(e.what());
  } catch (...) {
    HandleException("Unknown exception");
  }
}

void TSocketClient::ConnectionFailed(const std::string& message) {
  Close();
  if (!OnFailure) {
    return;
  }
  // Reached from inside ReadLine and SendLine too, which must not throw.
  try {
    OnFailure(*this, message);
  } catch (const std::exception& e) {
    HandleException(e.what());
  } catch (...) {
    HandleException("Unknown exception");
  }
}

void TSocketClient::HandleException(const std::string& message) {
  if (OnException) {
    try {
      OnException(*this, message);
      return;
    } catch (...) {
      // A failing exception handler must not take the event handling down.
    }
  }
  std::cerr << message << '\n';
}

}  // namespace kelvane
