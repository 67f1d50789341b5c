#include "ucCommandInFolder.h"

namespace kelvane {

std::string CommandLineInFolder(const std::string& folder, const std::string& commandLine) {
  if (folder.empty()) return commandLine;
  // coreutils' env changes the folder and then replaces itself with the
  // program, so the program's output and exit status are the caller's to see.
  // A trailing separator is dropped because a backslash before the closing
  // quotation mark would escape it.
  std::string plain = folder;
  while (plain.size() > 1 && (plain.back() == '/' || plain.back() == '\\')) plain.pop_back();
  return "env -C \"" + plain + "\" " + commandLine;
}

}  // namespace kelvane
