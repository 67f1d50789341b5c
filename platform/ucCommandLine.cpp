#include "ucCommandLine.h"

namespace kelvane {
namespace {

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

// Reads the program of a line that begins with a quotation mark. Quotes only
// toggle grouping here; backslashes have no special meaning because they are
// part of file names. Returns the position after the program.
size_t ReadQuotedProgram(std::string_view line, std::string& program) {
  bool inQuotes = false;
  size_t pos = 0;
  for (; pos < line.size(); ++pos) {
    const char c = line[pos];
    if (c == '"') {
      inQuotes = !inQuotes;
    } else if (IsBlank(c) && !inQuotes) {
      break;
    } else {
      program += c;
    }
  }
  return pos;
}

}  // namespace

TCommandLine SplitCommandLine(std::string_view CommandLine, const TProgramExists& ProgramExists) {
  size_t start = 0;
  while (start < CommandLine.size() && IsBlank(CommandLine[start])) ++start;
  const std::string_view line = CommandLine.substr(start);

  TCommandLine result;
  size_t programEnd = 0;
  if (!line.empty() && line.front() == '"') {
    programEnd = ReadQuotedProgram(line, result.Program);
  } else {
    bool found = false;
    for (size_t pos = 0; pos <= line.size() && !found; ++pos) {
      if (pos < line.size() && !IsBlank(line[pos])) continue;
      if (pos == 0) continue;
      std::string candidate(line.substr(0, pos));
      if (ProgramExists && ProgramExists(candidate)) {
        result.Program = std::move(candidate);
        programEnd = pos;
        found = true;
      }
    }
    if (!found) {
      programEnd = 0;
      while (programEnd < line.size() && !IsBlank(line[programEnd])) ++programEnd;
      result.Program = std::string(line.substr(0, programEnd));
    }
  }
  result.Arguments = SplitArguments(line.substr(programEnd));
  return result;
}

std::vector<std::string> SplitArguments(std::string_view Text) {
  std::vector<std::string> arguments;
  size_t pos = 0;
  while (true) {
    while (pos < Text.size() && IsBlank(Text[pos])) ++pos;
    if (pos >= Text.size()) break;

    std::string argument;
    bool inQuotes = false;
    while (pos < Text.size()) {
      size_t backslashes = 0;
      while (pos < Text.size() && Text[pos] == '\\') {
        ++backslashes;
        ++pos;
      }
      if (pos < Text.size() && Text[pos] == '"') {
        argument.append(backslashes / 2, '\\');
        if (backslashes % 2 == 1) {
          argument += '"';
          ++pos;
        } else if (inQuotes && pos + 1 < Text.size() && Text[pos + 1] == '"') {
          argument += '"';
          pos += 2;
        } else {
          inQuotes = !inQuotes;
          ++pos;
        }
        continue;
      }
      argument.append(backslashes, '\\');
      if (pos >= Text.size()) break;
      if (IsBlank(Text[pos]) && !inQuotes) break;
      argument += Text[pos];
      ++pos;
    }
    arguments.push_back(std::move(argument));
  }
  return arguments;
}

}  // namespace kelvane
