#pragma once

// A user interface that answers from a script and records what the tool
// showed, so the tool's logic runs in tests without a display.

#include <deque>
#include <string>
#include <vector>

#include "Tessmar_dmProcess.h"
#include "Tessmar_uUserInterface.h"

namespace kelvane::testing {

class TScriptedUserInterface : public IUserInterface {
 public:
  // Everything shown, in order: "information: ...", "warning: ...",
  // "error: ...", "confirm: ...", "ask: ...", "open: ...", "help: <file>#<topic>".
  std::vector<std::string> Shown;
  // Answers to Confirm and Ask, in order. A question without an answer fails
  // the test and answers no.
  std::deque<bool> Answers;
  // What OpenDocument and ShowHelp answer.
  bool HandlerAvailable = true;
  int ProcessedMessages = 0;
  // Runs at every ProcessMessages, as the desktop would run pending events.
  std::function<void()> OnProcessMessages;

  void ShowMessage(TMessageKind kind, const std::string& text) override;
  bool Confirm(const std::string& text) override;
  bool Ask(const std::string& text) override;
  bool OpenDocument(const std::string& target) override;
  bool ShowHelp(const std::string& helpFile, int topic) override;
  void ProcessMessages() override;

  // The messages of one kind ("error", ...) without their prefix.
  std::vector<std::string> Of(const std::string& kind) const;

 private:
  bool NextAnswer(const std::string& question);
};

// A settings window without widgets.
class TScriptedSettingsWindow : public ISettingsWindow {
 public:
  TSettingsFields Current;
  std::vector<std::string> StatusTexts;
  std::vector<bool> RunningChanges;
  bool ClosedWithOK = false;

  TSettingsFields Fields() const override { return Current; }
  void SetFields(const TSettingsFields& fields) override { Current = fields; }
  void SetFieldText(TSettingsControl control, const std::string& text) override { Current.Text(control) = text; }
  void SetStatusText(const std::string& text) override { StatusTexts.push_back(text); }
  void SetSequenceRunning(bool running) override { RunningChanges.push_back(running); }
  void CloseWithOK() override { ClosedWithOK = true; }
};

}  // namespace kelvane::testing
