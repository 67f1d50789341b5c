#pragma once

// Runs a console program to its end and collects everything it prints. Every
// program the two programs start (openssl, ping, systemctl) goes through
// here. The program gets no input (standard input reads as empty), and its
// standard output and standard error go into one pipe, so the collected text
// holds both in the order they were written.

#include <chrono>
#include <string>
#include <string_view>
#include <vector>

namespace kelvane {

// How a run ended.
enum class TProcessEnd {
  NotStarted,  // the program could not be started; see TProcessRun::StartError
  Exited,      // the program ended by itself; ExitStatus holds its exit status
  Signalled,   // a signal ended the program; Signal holds its number
  TimedOut,    // the program outlived the time-out and was killed
};

struct TProcessStatus {
  TProcessEnd End = TProcessEnd::NotStarted;
  int ExitStatus = -1;  // 0..255 when End is Exited, otherwise -1
  int Signal = 0;       // the signal's number when End is Signalled, otherwise 0

  // True only when the program ran to its end and reported success.
  bool Succeeded() const noexcept { return End == TProcessEnd::Exited && ExitStatus == 0; }
};

struct TProcessRun {
  TProcessStatus Status;
  int StartError = 0;  // the system's error code when the program could not be started
  std::string Output;  // everything written, up to the end or up to the time-out
};

// Starts `Program` with `Arguments` (each one word, passed as it stands) in
// `WorkingFolder` (the caller's own when empty) with the caller's environment,
// and waits until it has ended and its output is closed. A program name
// without a path separator is looked up on PATH; a relative path is taken
// from the caller's folder. When the run takes longer than `TimeOut`, the
// program and every process it started in its process group are killed, and
// the run ends as TimedOut with the output read so far. A time-out of zero or
// less (or of a century and more) waits without limit.
// Throws std::system_error when the pipe cannot be created; a program that
// cannot be started (a working folder that cannot be entered included) is
// reported through StartError, not thrown.
TProcessRun RunProgram(const std::string& Program, const std::vector<std::string>& Arguments,
                       const std::string& WorkingFolder, std::chrono::milliseconds TimeOut);

// RunProgram for a whole command line, split as ucCommandLine.h describes.
TProcessRun RunProcess(std::string_view CommandLine, std::chrono::milliseconds TimeOut,
                       const std::string& WorkingFolder = {});

}  // namespace kelvane
