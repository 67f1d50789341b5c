#pragma once

// The version information of the running program: its file version and a
// table of named strings ("ProductName", "ServiceName", ...). Each program
// registers its own once at start; until then every answer is "Unknown".
//
//   RegisterVersionResource(MakeVersionResource({{"ProductName", "Kelvane"}}));
//   GetFileVersionText(false);          // "4.5.0.8"
//   GetVersionInfoString("ProductName"); // "Kelvane"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace kelvane {

struct TFileVersion {
  std::uint16_t Major = 0;
  std::uint16_t Minor = 0;
  std::uint16_t Release = 0;
  std::uint16_t Build = 0;
};

// A language and code page for which the resource holds a string table.
struct TVersionTranslation {
  std::uint16_t Language = 0;
  std::uint16_t CodePage = 0;
};

struct TVersionString {
  std::string Key;
  std::string Value;
};

// The strings for one translation, named by its language and code page in
// eight hexadecimal digits ("040904E4").
struct TVersionStringTable {
  std::string Name;
  std::vector<TVersionString> Strings;
};

struct TVersionResource {
  std::optional<TFileVersion> FileVersion;
  std::vector<TVersionTranslation> Translations;
  std::vector<TVersionStringTable> StringTables;
};

// The project's own file version, set by the build.
TFileVersion ProjectFileVersion();

// A resource with the project's file version and one string table for U.S.
// English, code page 1252 ("040904E4"), holding `Strings`.
TVersionResource MakeVersionResource(std::vector<TVersionString> Strings);

// Makes `Resource` (copied) the version information of this program; a later
// call replaces an earlier one. Safe to call while other threads query.
void RegisterVersionResource(const TVersionResource& Resource);

// Forgets the registered resource: the program then has none.
void UnregisterVersionResource();

// The string entry `Key` of the string table for the first translation, or
// "Unknown" when there is no resource, no such table or no such entry. Table
// names and keys match without regard to letter case.
std::string GetVersionInfoString(const std::string& Key);

// "4.5" with Short, else "4.5.0.8"; "Unknown" without a file version.
std::string GetFileVersionText(bool Short);

}  // namespace kelvane
