#pragma once

// The configuration file's format: INI-style text made of "[Section]" lines
// and "Key=Value" entries. Section names and keys match without regard to
// case, blanks around a key and around a value do not belong to them, and the
// value is everything after the first "=".
//
// Two views of the same text:
// - TIniReader reads it the way the service does: the first occurrence of a
//   section or key counts, a value enclosed in a matching pair of quotes is
//   taken without them, and at most IniMaxValueLength characters of a value
//   are read. Lines beginning with ";", lines without "=" and lines before
//   the first section are not entries.
// - TIniDocument is the configuration tool's editable copy, which is written
//   back normalised: trimmed lines, no empty or comment lines, entries as
//   "Key=Value", 7-bit ASCII, CR LF line ends, one empty line after each
//   section.

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace kelvane {

inline constexpr std::size_t IniMaxValueLength = 2047;

struct TIniEntry {
  std::string Key;
  std::string Value;
};

// A whole number as the file writes it: a signed 32-bit integer with an
// optional sign, then decimal digits, or hexadecimal digits after "$", "x"
// or "0x" (the x in either case), with nothing after the digits.
bool TryParseWholeNumber(std::string_view Text, std::int32_t& Value);

// Section and key comparison: ASCII letters without regard to case.
bool SameIniName(std::string_view A, std::string_view B);

class TIniReader {
 public:
  TIniReader() = default;
  explicit TIniReader(std::string_view Text);

  // The value of Key in Section, or Default when there is no such entry.
  std::string ReadString(std::string_view Section, std::string_view Key, std::string_view Default) const;

  // The entries of Section in file order, each key once (its first
  // occurrence), values unquoted as ReadString does but never cut: a section's
  // values are passwords, and a password cut short would let its prefix in.
  // Entries with an empty key are left out.
  std::vector<TIniEntry> ReadSectionValues(std::string_view Section) const;

 private:
  struct TSection {
    std::string Name;
    std::vector<TIniEntry> Entries;  // trimmed key and raw trimmed value
  };
  const TSection* FindSection(std::string_view Section) const;

  std::vector<TSection> FSections;
};

class TIniDocument {
 public:
  TIniDocument() = default;

  // Replaces the contents with Text, normalised as described above. A line
  // without "=" inside a section is kept as it stands.
  void LoadFromText(std::string_view Text);

  // The whole file: for each section "[Name]", its lines and one empty line,
  // every line ended by CR LF; every character outside 7-bit ASCII becomes "?".
  std::string SaveToText() const;

  bool SectionExists(std::string_view Section) const;

  // The value of the first entry of Key in the first section of that name,
  // as stored (no quotes removed); Default when there is none.
  std::string ReadString(std::string_view Section, std::string_view Key, std::string_view Default) const;

  // Every line of the section in order: entries as "Key=Value", other lines
  // as they stand.
  std::vector<std::string> ReadSectionLines(std::string_view Section) const;

  // Replaces the value of the first entry of Key in place; a missing key is
  // appended to its section, a missing section to the end of the file.
  void WriteString(std::string_view Section, std::string_view Key, std::string_view Value);

  // Removes every section of that name with its lines.
  void EraseSection(std::string_view Section);

  // Removes the section and builds it anew at the end of the file from Lines,
  // one entry per line split at its first "=": a line without "=" is a key
  // with an empty value, a later key that matches an earlier one ignoring
  // case replaces the earlier value, blank lines are skipped. No section is
  // written when no entry results. Any number of lines is accepted.
  void RebuildSection(std::string_view Section, const std::vector<std::string>& Lines);

 private:
  struct TLine {
    bool IsEntry = false;
    std::string Key;    // the whole line when it is no entry
    std::string Value;
  };
  struct TSection {
    std::string Name;
    std::vector<TLine> Lines;
  };
  TSection* FindSection(std::string_view Section);
  const TSection* FindSection(std::string_view Section) const;

  std::vector<TSection> FSections;
};

}  // namespace kelvane
