#include "LoopbackHttpServer.h"

#include <algorithm>
#include <atomic>
#include <cctype>
#include <utility>

#include <boost/asio/connect.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/write.hpp>

namespace kelvane::testing {

namespace asio = boost::asio;
using asio::ip::tcp;

namespace {

// The request is complete once its header and the body its Content-length
// announces have arrived.
bool RequestComplete(const std::string& received) {
  const std::size_t headerEnd = received.find("\r\n\r\n");
  if (headerEnd == std::string::npos) {
    return false;
  }
  std::string header = received.substr(0, headerEnd);
  std::transform(header.begin(), header.end(), header.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  const std::string key = "\r\ncontent-length: ";
  const std::size_t at = header.find(key);
  const std::size_t length = at == std::string::npos ? 0 : std::stoul(header.substr(at + key.size()));
  return received.size() >= headerEnd + 4 + length;
}

}  // namespace

struct TLoopbackHttpServer::Impl {
  TServerScript Script;
  asio::io_context Io;
  tcp::acceptor Acceptor {Io};
  std::thread Thread;
  std::atomic<bool> Stopping {false};
  std::mutex Lock;
  std::condition_variable Done;
  bool FirstSessionDone = false;
  std::string FirstReceived;

  void Run() {
    bool first = true;
    while (!Stopping) {
      tcp::socket socket(Io);
      boost::system::error_code error;
      Acceptor.accept(socket, error);
      if (error || Stopping) {
        return;
      }
      std::string received = Serve(socket);
      if (first) {
        const std::lock_guard<std::mutex> guard(Lock);
        FirstReceived = std::move(received);
        FirstSessionDone = true;
        Done.notify_all();
        first = false;
      }
    }
  }

  // Reads whatever is waiting; false once the client has closed or failed.
  static bool ReadSome(tcp::socket& socket, std::string& received) {
    char buffer[16384];
    boost::system::error_code error;
    const std::size_t count = socket.read_some(asio::buffer(buffer), error);
    received.append(buffer, count);
    return !error;
  }

  std::string Serve(tcp::socket& socket) {
    std::string received;
    boost::system::error_code error;
    switch (Script.Mode) {
      case TServerScript::TMode::NeverRead:
        while (!Stopping) {
          std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return received;
      case TServerScript::TMode::NeverAnswer:
        while (ReadSome(socket, received)) {
        }
        return received;
      case TServerScript::TMode::AnswerAfterRequest:
        while (!RequestComplete(received) && ReadSome(socket, received)) {
        }
        break;
      case TServerScript::TMode::AnswerAtOnce:
        break;
    }
    for (std::size_t i = 0; i < Script.Pieces.size(); ++i) {
      if (i > 0 && Script.PieceDelay.count() > 0) {
        std::this_thread::sleep_for(Script.PieceDelay);
      }
      asio::write(socket, asio::buffer(Script.Pieces[i]), error);
      if (error) {
        return received;
      }
    }
    if (Script.ResetAfterAnswer) {
      socket.set_option(asio::socket_base::linger(true, 0), error);
      socket.close(error);
      return received;
    }
    // An orderly close of our side; the client's last bytes (and its own
    // close) still arrive and are recorded.
    socket.shutdown(tcp::socket::shutdown_send, error);
    while (ReadSome(socket, received)) {
    }
    return received;
  }
};

TLoopbackHttpServer::TLoopbackHttpServer(TServerScript script) : FImpl(std::make_unique<Impl>()) {
  FImpl->Script = std::move(script);
  const tcp::endpoint endpoint(asio::ip::address_v4::loopback(), 0);
  FImpl->Acceptor.open(endpoint.protocol());
  FImpl->Acceptor.bind(endpoint);
  FImpl->Acceptor.listen();
  FPort = FImpl->Acceptor.local_endpoint().port();
  FImpl->Thread = std::thread([impl = FImpl.get()] { impl->Run(); });
}

TLoopbackHttpServer::~TLoopbackHttpServer() {
  FImpl->Stopping = true;
  // A connection of our own wakes a thread that waits in accept.
  {
    asio::io_context io;
    tcp::socket poke(io);
    boost::system::error_code error;
    poke.connect(tcp::endpoint(asio::ip::address_v4::loopback(), FPort), error);
  }
  FImpl->Thread.join();
}

std::string TLoopbackHttpServer::Received() {
  std::unique_lock<std::mutex> guard(FImpl->Lock);
  FImpl->Done.wait_for(guard, std::chrono::seconds(10), [this] { return FImpl->FirstSessionDone; });
  return FImpl->FirstReceived;
}

std::uint16_t UnusedLoopbackPort() {
  asio::io_context io;
  tcp::acceptor acceptor(io, tcp::endpoint(asio::ip::address_v4::loopback(), 0));
  return acceptor.local_endpoint().port();
}

}  // namespace kelvane::testing
