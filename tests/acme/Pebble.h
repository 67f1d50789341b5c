#pragma once

// Debian's pebble, a test ACME server, run as a child process on loopback:
// its own HTTPS certificate made here with the openssl program, validations
// without the random sleep, no reuse of earlier authorisations, its rejection
// of some valid nonces left on, and
// its tls-alpn-01 and http-01 validations sent to ports the test chooses.

#include <sys/types.h>

#include <cstdint>
#include <string>

namespace kelvane::testing {

class TPebble {
 public:
  // `folder` ends in a separator and receives pebble's files.
  explicit TPebble(const std::string& folder);
  ~TPebble();
  TPebble(const TPebble&) = delete;
  TPebble& operator=(const TPebble&) = delete;

  static bool Installed();

  // Starts pebble, with its validations sent to the two ports on loopback,
  // and waits until its directory answers. False, with pebble's output, when
  // it does not come up.
  bool Start(std::uint16_t tlsAlpnPort, std::uint16_t httpPort, std::string& error);
  void Stop();

  std::string DirectoryUrl() const;
  // The root of pebble's HTTPS certificate and the root pebble issues from
  // (fetched from its management interface), in one PEM file.
  const std::string& RootsFile() const { return FRootsFile; }
  std::string Output() const;

 private:
  std::string FFolder;
  std::string FCertificate;
  std::string FKey;
  std::uint16_t FPort = 0;
  std::uint16_t FManagementPort = 0;
  std::string FHttpsRoot;
  std::string FRootsFile;
  pid_t FPid = -1;
};

}  // namespace kelvane::testing
