#pragma once

// What the configuration tool needs from the person in front of it: message
// boxes, questions, the shell's "open" and a chance for the windows to paint.
// The desktop build answers through Qt; tests answer from a script, so the
// whole logic runs without a display.

#include <string>

namespace kelvane {

enum class TMessageKind { Information, Warning, Error };

class IUserInterface {
 public:
  virtual ~IUserInterface() = default;

  // A message box with an OK button.
  virtual void ShowMessage(TMessageKind kind, const std::string& text) = 0;

  // A confirmation with OK and Cancel; true only for OK.
  virtual bool Confirm(const std::string& text) = 0;

  // A question with Yes and No; true only for Yes.
  virtual bool Ask(const std::string& text) = 0;

  // Hands a file path, a web address or a "mailto:" address to the desktop's
  // default handler. False when no handler could be started.
  virtual bool OpenDocument(const std::string& target) = 0;

  // Shows the help file (an HTML file) at the anchor of a topic number. False
  // when no viewer could show it.
  virtual bool ShowHelp(const std::string& helpFile, int topic) = 0;

  // Lets the windows handle what is pending (painting, input) once.
  virtual void ProcessMessages() = 0;
};

}  // namespace kelvane
