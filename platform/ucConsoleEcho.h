#pragma once

// Typing a password on a terminal without it showing.

namespace kelvane {

// While alive, characters typed on the terminal that is standard input are
// not echoed. Does nothing when standard input is no terminal (a pipe, a
// file), and restores the terminal's settings when it goes.
class TConsoleEchoOff {
 public:
  TConsoleEchoOff();
  ~TConsoleEchoOff();
  TConsoleEchoOff(const TConsoleEchoOff&) = delete;
  TConsoleEchoOff& operator=(const TConsoleEchoOff&) = delete;

  // True when standard input is a terminal (and its echo is now off).
  bool OnTerminal() const { return FOnTerminal; }

 private:
  bool FOnTerminal = false;
  unsigned char FSaved[64]{};  // the terminal's settings before
};

}  // namespace kelvane
