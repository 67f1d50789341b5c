#include "MultiTypeAppCmdLine.h"

#include <algorithm>

namespace kelvane {
namespace {

char LowerAscii(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

bool SameChar(char a, char b) { return LowerAscii(a) == LowerAscii(b); }

bool SameText(const std::string& a, const std::string& b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), SameChar);
}

bool StartsWithText(const std::string& text, const std::string& start) {
  return text.size() >= start.size() && std::equal(start.begin(), start.end(), text.begin(), SameChar);
}

}  // namespace

bool SwitchWord(const std::string& Argument, std::string& Word) {
  if (Argument.size() > 2 && Argument[0] == '-' && Argument[1] == '-') {
    Word = Argument.substr(2);
    return true;
  }
  if (!Argument.empty() && (Argument[0] == '-' || Argument[0] == '/')) {
    Word = Argument.substr(1);
    return true;
  }
  return false;
}

bool IsSwitch(const std::string& Argument, const std::string& Word) {
  std::string word;
  return SwitchWord(Argument, word) && SameText(word, Word);
}

bool HaveCommandLineSwitch(const TCommandLine& Args, const std::string& Switch) {
  std::string wanted;
  if (!SwitchWord(Switch, wanted)) wanted = Switch;
  for (const std::string& argument : Args) {
    if (IsSwitch(argument, wanted)) return true;
  }
  return false;
}

bool CommandLineSwitchValue(const TCommandLine& Args, const std::string& Name, std::string& Value) {
  for (const std::string& argument : Args) {
    std::string word;
    if (!SwitchWord(argument, word) || !StartsWithText(word, Name)) continue;
    if (word.size() == Name.size()) {
      Value.clear();
      return true;
    }
    const char separator = word[Name.size()];
    if (separator == ':' || separator == '=') {
      Value = word.substr(Name.size() + 1);
      return true;
    }
  }
  return false;
}

std::vector<std::string> BuildServiceArguments(const TCommandLine& Args) {
  std::vector<std::string> result {"/SERVICE"};
  for (const std::string& argument : Args) {
    if (IsSwitch(argument, "SERVICE") || IsSwitch(argument, "INSTALL") || IsSwitch(argument, "UNINSTALL") ||
        IsSwitch(argument, "SILENT")) {
      continue;
    }
    result.push_back(argument);
  }
  return result;
}

std::string BuildServiceCommandLine(const TCommandLine& Args) {
  std::string line;
  for (const std::string& argument : BuildServiceArguments(Args)) {
    if (!line.empty()) line += ' ';
    line += argument;
  }
  return line;
}

}  // namespace kelvane
