#include "Tessmar_uText.h"

#include "ucAsciiText.h"

namespace kelvane {

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
    const size_t found = FindIgnoringAsciiCase(std::string_view(text).substr(start), from);
    if (found == std::string_view::npos) break;
    result.append(text, start, found);
    result.append(to);
    start += found + from.size();
  }
  result.append(text, start);
  return result;
}

std::string UnquotedValue(const std::string& value) {
  if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') && value.back() == value.front()) {
    return value.substr(1, value.size() - 2);
  }
  return value;
}

}  // namespace kelvane
