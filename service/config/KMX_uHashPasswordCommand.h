#pragma once

// "vardex --hash-password": reads one password from standard input (without
// echo on a terminal) and prints its yescrypt hash, ready to be put into the
// [UserList] section of Vardex.cfg by hand or by a script.

#include <iosfwd>
#include <string>
#include <vector>

namespace kelvane {

// True when the arguments ask for a password hash.
bool WantsHashPassword(const std::vector<std::string>& args);

// Reads the password's line from `in` (a trailing CR LF or LF is not part of
// it), prints the hash and a line end to `out`. Exit code 0, or 1 with the
// reason on `err` for an empty password or a failed hash.
int RunHashPassword(std::istream& in, std::ostream& out, std::ostream& err);

}  // namespace kelvane
