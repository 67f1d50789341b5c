#pragma once

// Local message channels under a machine-wide name: one process serves a name,
// any process can ask whether the name is served and hand it one whole
// message. A channel disappears with the process that serves it, however that
// process ends.

#include <cstddef>
#include <memory>
#include <string>

namespace kelvane {

class TChannelServer {
 public:
  // Starts serving the name. Throws std::system_error when the name is already
  // served or the channel cannot be created.
  explicit TChannelServer(const std::string& name);
  ~TChannelServer();
  TChannelServer(const TChannelServer&) = delete;
  TChannelServer& operator=(const TChannelServer&) = delete;

  enum class TReceiveResult {
    Message,    // a client sent a message; it is in `message`
    NoMessage,  // a client came and went without a message, or the wait failed
    Stopped,    // Stop() was called
  };

  // Waits for the next client and reads its first message. At most `maxSize`
  // bytes are kept; a longer message is cut and still counts as received.
  // A client that sends nothing is given up after a short while.
  TReceiveResult ReceiveOne(std::string& message, std::size_t maxSize);

  // Makes a waiting ReceiveOne, and every later one, answer Stopped. Any thread.
  void Stop();

 private:
  struct Impl;
  std::unique_ptr<Impl> FImpl;
};

// True when some process serves the name, busy or not.
bool ChannelExists(const std::string& name);

// Connects to the name, sends one message and disconnects. False when nobody
// serves the name or the message could not be handed over.
bool SendChannelMessage(const std::string& name, const std::string& message);

}  // namespace kelvane
