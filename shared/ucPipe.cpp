#include "ucPipe.h"

#include <cerrno>
#include <system_error>

namespace kelvane {

TProcessStatus RunConsoleCommand(const std::string& CommandLine, std::int32_t& ErrorCode, std::string& Output,
                                 std::chrono::milliseconds TimeOut, const std::string& WorkingFolder) {
  ErrorCode = 0;
  Output.clear();
  TProcessRun run;
  try {
    run = RunProcess(CommandLine, TimeOut, WorkingFolder);
  } catch (const std::system_error& e) {
    std::string message = "Error building the pipe";
    if (e.code().value() != 0) message += "\r\n" + std::to_string(e.code().value()) + ": " + e.code().message();
    throw EPipeError(message);
  }
  switch (run.Status.End) {
    case TProcessEnd::NotStarted:
      ErrorCode = run.StartError;
      break;
    case TProcessEnd::TimedOut:
      ErrorCode = ETIMEDOUT;
      break;
    case TProcessEnd::Exited:
    case TProcessEnd::Signalled:
      Output = std::move(run.Output);
      break;
  }
  return run.Status;
}

}  // namespace kelvane
