#include "ucConsoleEcho.h"

#include <termios.h>
#include <unistd.h>

#include <cstring>

namespace kelvane {

static_assert(sizeof(termios) <= 64, "the saved settings must fit");

TConsoleEchoOff::TConsoleEchoOff() {
  termios settings{};
  if (::isatty(STDIN_FILENO) == 0 || ::tcgetattr(STDIN_FILENO, &settings) != 0) return;
  std::memcpy(FSaved, &settings, sizeof settings);
  settings.c_lflag &= ~static_cast<tcflag_t>(ECHO);
  settings.c_lflag |= ECHONL;
  FOnTerminal = ::tcsetattr(STDIN_FILENO, TCSAFLUSH, &settings) == 0;
}

TConsoleEchoOff::~TConsoleEchoOff() {
  if (!FOnTerminal) return;
  termios settings{};
  std::memcpy(&settings, FSaved, sizeof settings);
  ::tcsetattr(STDIN_FILENO, TCSAFLUSH, &settings);
}

}  // namespace kelvane
