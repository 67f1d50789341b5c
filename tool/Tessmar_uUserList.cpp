#include "Tessmar_uUserList.h"

#include <optional>

#include "KMX_uPasswordHash.h"
#include "ucIniFile.h"

namespace kelvane {
namespace {

// One line read with the service's own reader, so the password hashed is the
// one the service compares against.
std::optional<TIniEntry> ReadEntry(const std::string& line) {
  const TIniReader reader("[UserList]\n" + line + "\n");
  std::vector<TIniEntry> entries = reader.ReadSectionValues("UserList");
  if (entries.size() != 1) return std::nullopt;
  return std::move(entries.front());
}

}  // namespace

bool HashUserPasswords(std::vector<std::string>& lines, std::string& error) {
  std::vector<std::string> stored;
  stored.reserve(lines.size());
  for (const std::string& line : lines) {
    const std::optional<TIniEntry> entry = ReadEntry(line);
    if (!entry || IsPasswordHash(entry->Value)) {
      stored.push_back(line);
      continue;
    }
    std::string hash;
    if (!HashPassword(entry->Value, hash, error)) {
      error = "The password of " + entry->Key + " could not be hashed: " + error;
      return false;
    }
    stored.push_back(entry->Key + "=" + hash);
  }
  lines = std::move(stored);
  error.clear();
  return true;
}

std::vector<std::string> UserNames(const std::vector<std::string>& lines) {
  std::vector<std::string> names;
  for (const std::string& line : lines) {
    if (const std::optional<TIniEntry> entry = ReadEntry(line)) names.push_back(entry->Key);
  }
  return names;
}

}  // namespace kelvane
