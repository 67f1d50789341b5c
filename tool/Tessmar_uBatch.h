#pragma once

// The tool without windows, for terminals and configuration-management
// tools: `tessmar --batch` takes the settings from an answers file in the
// configuration file's format and from switches, the users and their
// passwords from a file or standard input, and runs the same loading,
// checks, save sequence and certificate request as the settings window.
// Messages go to standard output, errors and warnings to standard error.

#include <iosfwd>
#include <string>
#include <vector>

#include "Tessmar_dmProcess.h"
#include "Tessmar_uUserInterface.h"

namespace kelvane {

// What the command line asks of the program before any window exists.
enum class TToolCommand { Windows, Help, Version, Batch, Error };

// Decides from the arguments (without the program name). `error` says what is
// wrong for Error.
TToolCommand ParseToolCommand(const std::vector<std::string>& arguments, std::string& error);

// The text of `tessmar --help`.
std::string ToolUsage();

// Answers the tool's questions without a person: confirmations are taken as
// given by starting the batch; the question about port 443 is answered by a
// switch; documents and help cannot be shown.
class TConsoleUserInterface : public IUserInterface {
 public:
  TConsoleUserInterface(std::ostream& out, std::ostream& err, bool acceptPort443);

  void ShowMessage(TMessageKind kind, const std::string& text) override;
  bool Confirm(const std::string& text) override;
  bool Ask(const std::string& text) override;
  bool OpenDocument(const std::string& target) override;
  bool ShowHelp(const std::string& helpFile, int topic) override;
  void ProcessMessages() override {}

  // True once an error or a warning was shown, or a question answered no.
  bool Complained() const { return FComplained; }

 private:
  std::ostream& FOut;
  std::ostream& FErr;
  bool FAcceptPort443;
  bool FComplained = false;
};

// Runs `tessmar --batch ...` on an installation folder (ending in a
// separator). `in` is standard input. Returns the exit status: 0 when the
// certificate was installed and everything saved, 1 otherwise with the
// reason on `err`.
int RunBatch(const std::vector<std::string>& arguments, const std::string& folder, const std::string& programPath,
             std::istream& in, std::ostream& out, std::ostream& err,
             TToolServices services = MachineToolServices());

}  // namespace kelvane
