#pragma once

// Runs a console program (openssl, ping) and hands back everything it printed
// on standard output and standard error together, in the order written.

#include <chrono>
#include <cstdint>
#include <stdexcept>
#include <string>

#include "ucProcess.h"

namespace kelvane {

// Raised when the pipe for the program's output cannot be created.
class EPipeError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Long enough for any openssl or ping run; a program still running after it
// is taken to hang.
inline constexpr std::chrono::milliseconds DefaultConsoleTimeOut{60000};

// Runs `CommandLine` (the program first, then its arguments; a program path
// with blanks may stand without quotation marks) in `WorkingFolder` (the
// caller's own when empty) and waits for its end.
//
// ErrorCode is 0 when the program was started and ran to its end; otherwise:
// - the system's code for a failed start (ENOENT when the program does not
//   exist, EACCES when it may not be run), with an empty Output;
// - ETIMEDOUT when the program outlived `TimeOut` and was killed. Output is
//   then empty as well, so that no caller reads a cut-off text as a complete
//   answer.
// Output holds every byte the program wrote, zero bytes included.
// The answer tells how the program ended and with which exit status.
// Throws EPipeError when the pipe cannot be created.
TProcessStatus RunConsoleCommand(const std::string& CommandLine, std::int32_t& ErrorCode, std::string& Output,
                                 std::chrono::milliseconds TimeOut = DefaultConsoleTimeOut,
                                 const std::string& WorkingFolder = {});

}  // namespace kelvane
