#include "ucIniFile.h"

#include <algorithm>
#include <limits>
#include <unordered_set>

#include "ucAsciiText.h"

namespace kelvane {
namespace {

// Calls Visit for each line of Text; CR LF, LF and a lone CR all end a line.
// A UTF-8 byte-order mark, which some editors put first, would otherwise hide
// the first section line.
template <typename Visitor>
void ForEachLine(std::string_view text, Visitor&& visit) {
  if (text.starts_with("\xEF\xBB\xBF")) text.remove_prefix(3);
  size_t pos = 0;
  while (pos < text.size()) {
    const size_t end = text.find_first_of("\r\n", pos);
    if (end == std::string_view::npos) {
      visit(text.substr(pos));
      return;
    }
    visit(text.substr(pos, end - pos));
    pos = end + 1;
    if (text[end] == '\r' && pos < text.size() && text[pos] == '\n') ++pos;
  }
}

bool IsSectionLine(std::string_view line) { return line.size() >= 2 && line.front() == '[' && line.back() == ']'; }

std::string_view SectionName(std::string_view line) { return TrimBlanks(line.substr(1, line.size() - 2)); }

std::string_view Unquote(std::string_view value) {
  if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') && value.back() == value.front()) {
    return value.substr(1, value.size() - 2);
  }
  return value;
}

// The file cannot carry a line break inside a key or value; one written there
// would split the entry and could forge another entry or section.
std::string WithoutLineBreaks(std::string_view text) {
  std::string result(text);
  std::replace(result.begin(), result.end(), '\r', '?');
  std::replace(result.begin(), result.end(), '\n', '?');
  return result;
}

// Length of the well-formed UTF-8 sequence at text[pos], or 0 when there is
// none. Well-formed as Unicode defines it: no overlong forms, no surrogates,
// nothing above U+10FFFF.
size_t Utf8SequenceLength(std::string_view text, size_t pos) {
  const auto byte = [&](size_t i) { return static_cast<unsigned char>(text[pos + i]); };
  const unsigned char lead = byte(0);
  size_t length = 0;
  unsigned char secondLow = 0x80;
  unsigned char secondHigh = 0xBF;
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    if (lead == 0xE0) secondLow = 0xA0;
    if (lead == 0xED) secondHigh = 0x9F;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    if (lead == 0xF0) secondLow = 0x90;
    if (lead == 0xF4) secondHigh = 0x8F;
  } else {
    return 0;
  }
  if (pos + length > text.size()) return 0;
  if (byte(1) < secondLow || byte(1) > secondHigh) return 0;
  for (size_t i = 2; i < length; ++i) {
    if ((byte(i) & 0xC0) != 0x80) return 0;
  }
  return length;
}

// The file is UTF-8, the encoding the service reads it in: well-formed
// sequences stay as they are, and each byte that starts none becomes "?".
std::string ToWellFormedUtf8(std::string_view text) {
  std::string result;
  result.reserve(text.size());
  size_t pos = 0;
  while (pos < text.size()) {
    if (static_cast<unsigned char>(text[pos]) < 0x80) {
      result += text[pos++];
      continue;
    }
    const size_t length = Utf8SequenceLength(text, pos);
    if (length == 0) {
      result += '?';
      ++pos;
    } else {
      result.append(text, pos, length);
      pos += length;
    }
  }
  return result;
}

}  // namespace

bool SameIniName(std::string_view A, std::string_view B) {
  return EqualsIgnoringAsciiCase(A, B);
}

bool TryParseWholeNumber(std::string_view Text, std::int32_t& Value) {
  size_t pos = 0;
  bool negative = false;
  if (pos < Text.size() && (Text[pos] == '+' || Text[pos] == '-')) {
    negative = Text[pos] == '-';
    ++pos;
  }
  int base = 10;
  if (pos < Text.size() && Text[pos] == '$') {
    base = 16;
    ++pos;
  } else if (pos < Text.size() && (Text[pos] == 'x' || Text[pos] == 'X')) {
    base = 16;
    ++pos;
  } else if (pos + 1 < Text.size() && Text[pos] == '0' && (Text[pos + 1] == 'x' || Text[pos + 1] == 'X')) {
    base = 16;
    pos += 2;
  }
  if (pos == Text.size()) return false;
  // The magnitude may reach 2^31 for the most negative value.
  const std::int64_t limit = std::int64_t{std::numeric_limits<std::int32_t>::max()} + (negative ? 1 : 0);
  std::int64_t magnitude = 0;
  for (; pos < Text.size(); ++pos) {
    const char c = Text[pos];
    int digit;
    if (c >= '0' && c <= '9') digit = c - '0';
    else if (base == 16 && c >= 'a' && c <= 'f') digit = c - 'a' + 10;
    else if (base == 16 && c >= 'A' && c <= 'F') digit = c - 'A' + 10;
    else return false;
    magnitude = magnitude * base + digit;
    if (magnitude > limit) return false;
  }
  Value = static_cast<std::int32_t>(negative ? -magnitude : magnitude);
  return true;
}

// ---- service side -----------------------------------------------------------

TIniReader::TIniReader(std::string_view Text) {
  TSection* current = nullptr;
  ForEachLine(Text, [&](std::string_view raw) {
    const std::string_view line = TrimBlanks(raw);
    if (line.empty() || line.front() == ';') return;
    if (IsSectionLine(line)) {
      FSections.push_back(TSection{std::string(SectionName(line)), {}});
      current = &FSections.back();
      return;
    }
    const size_t separator = line.find('=');
    if (current == nullptr || separator == std::string_view::npos) return;
    const std::string_view key = TrimBlanks(line.substr(0, separator));
    if (key.empty()) return;
    current->Entries.push_back(TIniEntry{std::string(key), std::string(TrimBlanks(line.substr(separator + 1)))});
  });
}

const TIniReader::TSection* TIniReader::FindSection(std::string_view Section) const {
  // Only the first section of a name is read; a later one of the same name is ignored.
  for (const TSection& section : FSections) {
    if (SameIniName(section.Name, Section)) return &section;
  }
  return nullptr;
}

std::string TIniReader::ReadString(std::string_view Section, std::string_view Key, std::string_view Default) const {
  const TSection* section = FindSection(Section);
  if (section == nullptr) return std::string(Default);
  for (const TIniEntry& entry : section->Entries) {
    if (SameIniName(entry.Key, Key)) return std::string(Unquote(entry.Value).substr(0, IniMaxValueLength));
  }
  return std::string(Default);
}

std::vector<TIniEntry> TIniReader::ReadSectionValues(std::string_view Section) const {
  std::vector<TIniEntry> result;
  const TSection* section = FindSection(Section);
  if (section == nullptr) return result;
  // A section may list hundreds of thousands of users: the keys seen so far
  // are looked up in a set, so reading it takes time in proportion to its size.
  std::unordered_set<std::string> seen;
  for (const TIniEntry& entry : section->Entries) {
    if (seen.insert(LowerCaseAscii(entry.Key)).second) {
      result.push_back(TIniEntry{entry.Key, std::string(Unquote(entry.Value))});
    }
  }
  return result;
}

// ---- tool side --------------------------------------------------------------

void TIniDocument::LoadFromText(std::string_view Text) {
  FSections.clear();
  ForEachLine(Text, [&](std::string_view raw) {
    const std::string_view line = TrimBlanks(raw);
    if (line.empty() || line.front() == ';') return;
    if (IsSectionLine(line)) {
      FSections.push_back(TSection{std::string(SectionName(line)), {}});
      return;
    }
    if (FSections.empty()) return;
    TLine stored;
    const size_t separator = line.find('=');
    if (separator == std::string_view::npos) {
      stored.Key = std::string(line);
    } else {
      stored.IsEntry = true;
      stored.Key = std::string(TrimBlanks(line.substr(0, separator)));
      stored.Value = std::string(TrimBlanks(line.substr(separator + 1)));
    }
    FSections.back().Lines.push_back(std::move(stored));
  });
}

std::string TIniDocument::SaveToText() const {
  std::string text;
  for (const TSection& section : FSections) {
    text += "[" + section.Name + "]\r\n";
    for (const TLine& line : section.Lines) {
      text += line.IsEntry ? line.Key + "=" + line.Value : line.Key;
      text += "\r\n";
    }
    text += "\r\n";
  }
  return ToWellFormedUtf8(text);
}

TIniDocument::TSection* TIniDocument::FindSection(std::string_view Section) {
  for (TSection& section : FSections) {
    if (SameIniName(section.Name, Section)) return &section;
  }
  return nullptr;
}

const TIniDocument::TSection* TIniDocument::FindSection(std::string_view Section) const {
  return const_cast<TIniDocument*>(this)->FindSection(Section);
}

bool TIniDocument::SectionExists(std::string_view Section) const { return FindSection(Section) != nullptr; }

std::string TIniDocument::ReadString(std::string_view Section, std::string_view Key, std::string_view Default) const {
  if (const TSection* section = FindSection(Section)) {
    for (const TLine& line : section->Lines) {
      if (line.IsEntry && SameIniName(line.Key, Key)) return line.Value;
    }
  }
  return std::string(Default);
}

std::vector<std::string> TIniDocument::ReadSectionLines(std::string_view Section) const {
  std::vector<std::string> lines;
  if (const TSection* section = FindSection(Section)) {
    for (const TLine& line : section->Lines) lines.push_back(line.IsEntry ? line.Key + "=" + line.Value : line.Key);
  }
  return lines;
}

void TIniDocument::WriteString(std::string_view Section, std::string_view Key, std::string_view Value) {
  const std::string key = WithoutLineBreaks(TrimBlanks(Key));
  std::string value = WithoutLineBreaks(Value);
  TSection* section = FindSection(Section);
  if (section == nullptr) {
    FSections.push_back(TSection{WithoutLineBreaks(TrimBlanks(Section)), {}});
    section = &FSections.back();
  }
  for (TLine& line : section->Lines) {
    if (line.IsEntry && SameIniName(line.Key, key)) {
      line.Value = std::move(value);
      return;
    }
  }
  section->Lines.push_back(TLine{true, key, std::move(value)});
}

void TIniDocument::EraseSection(std::string_view Section) {
  std::erase_if(FSections, [&](const TSection& section) { return SameIniName(section.Name, Section); });
}

void TIniDocument::RebuildSection(std::string_view Section, const std::vector<std::string>& Lines) {
  EraseSection(Section);
  for (const std::string& line : Lines) {
    const size_t separator = line.find('=');
    const std::string_view key = TrimBlanks(std::string_view(line).substr(0, separator));
    // A blank line or one without a name names no entry.
    if (key.empty()) continue;
    std::string_view value;
    if (separator != std::string::npos) {
      value = std::string_view(line).substr(separator + 1);
      // Line ends left over from splitting the user's text are no part of the value.
      while (!value.empty() && (value.back() == '\r' || value.back() == '\n')) value.remove_suffix(1);
    }
    WriteString(Section, key, value);
  }
}

}  // namespace kelvane
