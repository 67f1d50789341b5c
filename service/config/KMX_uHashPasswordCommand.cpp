#include "KMX_uHashPasswordCommand.h"

#include <algorithm>
#include <istream>
#include <ostream>

#include "KMX_uPasswordHash.h"
#include "ucConsoleEcho.h"

namespace kelvane {

bool WantsHashPassword(const std::vector<std::string>& args) {
  for (const std::string& argument : args) {
    if (argument == "--hash-password" || argument == "/hash-password" || argument == "-hash-password") return true;
  }
  return false;
}

int RunHashPassword(std::istream& in, std::ostream& out, std::ostream& err) {
  std::string password;
  {
    TConsoleEchoOff echoOff;
    if (echoOff.OnTerminal()) err << "Password: " << std::flush;
    std::getline(in, password);
  }
  if (!password.empty() && password.back() == '\r') password.pop_back();
  if (password.empty()) {
    err << "No password was given on standard input.\n";
    return 1;
  }
  std::string hash, error;
  const bool hashed = HashPassword(password, hash, error);
  std::fill(password.begin(), password.end(), '\0');
  if (!hashed) {
    err << error << "\n";
    return 1;
  }
  out << hash << "\n";
  return 0;
}

}  // namespace kelvane
