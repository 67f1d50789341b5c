#include "Tessmar_uText.h"

namespace kelvane {
namespace {

char LowerAscii(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

}  // namespace

size_t FindText(std::string_view text, std::string_view what) {
  if (what.empty()) return 0;
  if (what.size() > text.size()) return std::string_view::npos;
  for (size_t i = 0; i + what.size() <= text.size(); ++i) {
    size_t k = 0;
    while (k < what.size() && LowerAscii(text[i + k]) == LowerAscii(what[k])) ++k;
    if (k == what.size()) return i;
  }
  return std::string_view::npos;
}

bool ContainsText(std::string_view text, std::string_view what) { return FindText(text, what) != std::string_view::npos; }

std::string ReplaceAll(std::string text, std::string_view from, std::string_view to) {
  if (from.empty()) return text;
  size_t position = 0;
  while ((position = text.find(from, position)) != std::string::npos) {
    text.replace(position, from.size(), to);
    position += to.size();
  }
  return text;
}

std::string ReplaceAllIgnoringCase(std::string text, std::string_view from, std::string_view to) {
  if (from.empty()) return text;
  std::string result;
  size_t start = 0;
  while (true) {
    const size_t found = FindText(std::string_view(text).substr(start), from);
    if (found == std::string_view::npos) break;
    result.append(text, start, found);
    result.append(to);
    start += found + from.size();
  }
  result.append(text, start);
  return result;
}

std::string UpperCaseAscii(std::string text) {
  for (char& c : text) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  }
  return text;
}

std::string UnquotedValue(const std::string& value) {
  if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') && value.back() == value.front()) {
    return value.substr(1, value.size() - 2);
  }
  return value;
}

}  // namespace kelvane
