#include "ucSignals.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <stdexcept>
#include <system_error>
#include <thread>

namespace kelvane {
namespace {

// The pipe the handler reports to. It is made once and never closed, so a
// handler still running while a watcher goes away never writes to a file
// descriptor that has been reused for something else.
std::atomic<int> SignalPipeRead {-1};
std::atomic<int> SignalPipeWrite {-1};
std::atomic<bool> WatcherExists {false};

extern "C" void OnTerminationSignal(int signalNumber) {
  const int savedErrno = errno;
  const int fd = SignalPipeWrite.load();
  if (fd >= 0) {
    const unsigned char code = static_cast<unsigned char>(signalNumber);
    [[maybe_unused]] const ssize_t ignored = ::write(fd, &code, 1);
  }
  errno = savedErrno;
}

std::string SignalName(int signalNumber) {
  switch (signalNumber) {
    case SIGTERM: return "SIGTERM";
    case SIGINT: return "SIGINT";
    default: return "signal " + std::to_string(signalNumber);
  }
}

}  // namespace

struct TTerminationSignals::Impl {
  int StopRead = -1;
  int StopWrite = -1;
  struct sigaction OldTerm {};
  struct sigaction OldInt {};
  std::thread Watcher;

  void CloseAll() {
    for (int* fd : {&StopRead, &StopWrite}) {
      if (*fd >= 0) ::close(*fd);
      *fd = -1;
    }
  }
};

TTerminationSignals::TTerminationSignals(std::function<void(const std::string& SignalName)> onSignal)
    : FImpl(std::make_unique<Impl>()) {
  if (WatcherExists.exchange(true)) throw std::logic_error("a termination signal watcher already exists");
  int fds[2];
  if (SignalPipeWrite.load() < 0) {
    if (::pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0) {
      WatcherExists = false;
      throw std::system_error(errno, std::generic_category(), "signal pipe");
    }
    SignalPipeRead = fds[0];
    SignalPipeWrite = fds[1];
  }
  if (::pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0) {
    WatcherExists = false;
    throw std::system_error(errno, std::generic_category(), "signal pipe");
  }
  FImpl->StopRead = fds[0];
  FImpl->StopWrite = fds[1];
  // Signals from an earlier watcher's time are not this watcher's business.
  unsigned char stale = 0;
  while (::read(SignalPipeRead, &stale, 1) == 1) {
  }

  struct sigaction action {};
  action.sa_handler = OnTerminationSignal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  ::sigaction(SIGTERM, &action, &FImpl->OldTerm);
  ::sigaction(SIGINT, &action, &FImpl->OldInt);

  Impl* impl = FImpl.get();
  FImpl->Watcher = std::thread([impl, onSignal = std::move(onSignal)] {
    for (;;) {
      const int signalRead = SignalPipeRead.load();
      pollfd waits[2] = {{signalRead, POLLIN, 0}, {impl->StopRead, POLLIN, 0}};
      if (::poll(waits, 2, -1) < 0) {
        if (errno == EINTR) continue;
        return;
      }
      if ((waits[1].revents & POLLIN) != 0) return;
      unsigned char code = 0;
      while (::read(signalRead, &code, 1) == 1) onSignal(SignalName(code));
    }
  });
}

TTerminationSignals::~TTerminationSignals() {
  ::sigaction(SIGTERM, &FImpl->OldTerm, nullptr);
  ::sigaction(SIGINT, &FImpl->OldInt, nullptr);
  const char wake = 1;
  [[maybe_unused]] const ssize_t ignored = ::write(FImpl->StopWrite, &wake, 1);
  FImpl->Watcher.join();
  FImpl->CloseAll();
  WatcherExists = false;
}

}  // namespace kelvane
