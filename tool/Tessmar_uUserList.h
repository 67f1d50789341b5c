#pragma once

// The user list as Vardex.cfg keeps it. A password the administrator types is
// stored as a yescrypt hash; a password that already is a hash (from an
// earlier save, from `vardex --hash-password` or copied from /etc/shadow) is
// kept byte for byte, so the settings window shows which users are hashed.

#include <string>
#include <vector>

namespace kelvane {

// Replaces the clear-text password of each "name=password" line by a hash of
// it, read as the service reads it (blanks around it and a pair of enclosing
// quotes are not part of it). Lines that are no entry (a comment, no "=", no
// name) and hashed entries stay as they are. False, with the reason in
// `error` and `lines` unchanged, when a hash cannot be made.
bool HashUserPasswords(std::vector<std::string>& lines, std::string& error);

// The names of the entries of the user list, in order.
std::vector<std::string> UserNames(const std::vector<std::string>& lines);

}  // namespace kelvane
