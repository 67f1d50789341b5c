#include "ScriptedUserInterface.h"

#include <gtest/gtest.h>

namespace kelvane::testing {

void TScriptedUserInterface::ShowMessage(TMessageKind kind, const std::string& text) {
  static const char* const names[] = {"information", "warning", "error"};
  Shown.push_back(std::string(names[static_cast<int>(kind)]) + ": " + text);
}

bool TScriptedUserInterface::NextAnswer(const std::string& question) {
  if (Answers.empty()) {
    ADD_FAILURE() << "unexpected question: " << question;
    return false;
  }
  const bool answer = Answers.front();
  Answers.pop_front();
  return answer;
}

bool TScriptedUserInterface::Confirm(const std::string& text) {
  Shown.push_back("confirm: " + text);
  return NextAnswer(text);
}

bool TScriptedUserInterface::Ask(const std::string& text) {
  Shown.push_back("ask: " + text);
  return NextAnswer(text);
}

bool TScriptedUserInterface::OpenDocument(const std::string& target) {
  Shown.push_back("open: " + target);
  return HandlerAvailable;
}

bool TScriptedUserInterface::ShowHelp(const std::string& helpFile, int topic) {
  Shown.push_back("help: " + helpFile + "#" + std::to_string(topic));
  return HandlerAvailable;
}

void TScriptedUserInterface::ProcessMessages() {
  ++ProcessedMessages;
  if (OnProcessMessages) OnProcessMessages();
}

std::vector<std::string> TScriptedUserInterface::Of(const std::string& kind) const {
  std::vector<std::string> texts;
  const std::string prefix = kind + ": ";
  for (const std::string& shown : Shown) {
    if (shown.rfind(prefix, 0) == 0) texts.push_back(shown.substr(prefix.size()));
  }
  return texts;
}

}  // namespace kelvane::testing
