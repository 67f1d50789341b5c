#pragma once

#include <string>
#include <string_view>

namespace kelvane::testing {

// A fresh folder below the system's temporary folder, removed with its
// contents when the object goes away.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  // The folder, ending in "/".
  const std::string& Path() const { return FPath; }

  // Writes `content` to Path() + relative, creating missing folders.
  std::string WriteFile(std::string_view relative, std::string_view content) const;

 private:
  std::string FPath;
};

// Reads a whole file; empty when it cannot be read.
std::string ReadFile(const std::string& path);

}  // namespace kelvane::testing
