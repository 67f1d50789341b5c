#pragma once

// A scripted HTTP server on 127.0.0.1 for the client tests: it listens on a
// port of its own choosing, reads what a client sends, answers as its script
// says and records every byte the client sent, so a test can compare the
// request on the wire byte for byte.

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace kelvane::testing {

struct TServerScript {
  enum class TMode {
    AnswerAfterRequest,  // read the request (headers and Content-length body), answer, close
    AnswerAtOnce,        // answer as soon as the client connects, then close
    NeverAnswer,         // read everything until the client closes
    NeverRead,           // accept, then neither read nor answer until the server ends
  };
  TMode Mode = TMode::AnswerAfterRequest;
  // The answer, sent piece by piece with PieceDelay between the pieces.
  std::vector<std::string> Pieces;
  std::chrono::milliseconds PieceDelay {0};
  // End the connection with a reset instead of an orderly close.
  bool ResetAfterAnswer = false;
};

class TLoopbackHttpServer {
 public:
  explicit TLoopbackHttpServer(TServerScript script);
  ~TLoopbackHttpServer();
  TLoopbackHttpServer(const TLoopbackHttpServer&) = delete;
  TLoopbackHttpServer& operator=(const TLoopbackHttpServer&) = delete;

  std::uint16_t Port() const { return FPort; }

  // Everything the client sent on the first connection, once that
  // connection has ended (waits at most a few seconds for it).
  std::string Received();

 private:
  struct Impl;
  std::unique_ptr<Impl> FImpl;
  std::uint16_t FPort = 0;
};

// A port on 127.0.0.1 where nothing listens.
std::uint16_t UnusedLoopbackPort();

}  // namespace kelvane::testing
