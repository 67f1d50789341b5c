#pragma once

// The last step of the tool's end-to-end tests: the real service starts on
// an installation folder the tool left, and a user of the tool's list
// reboots the machine (a dry run) over TLS.

#include <cstdint>
#include <string>

namespace kelvane::testing {

// Copies the `vardex` program and the page templates into `folder`, links
// the system's openssl there, starts `vardex /SERVICE /DRYRUN` on it and has
// the user "Bob" (password "Crocus=2") reboot through the login path
// "Morning_Door" on `port`, checking the server's certificate against
// `rootFile`. With `totpSecret` (base32) the login also sends the one-time
// code of that secret for the current time. Failures are reported as test
// failures.
void ExpectRebootThroughTheService(const std::string& folder, const std::string& vardex, std::uint16_t port,
                                   const std::string& rootFile, const std::string& totpSecret = "");

}  // namespace kelvane::testing
