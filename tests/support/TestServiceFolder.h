#pragma once

// An installation folder of the service for tests: the test PKI in "Cert/",
// an "openssl" link to the system's program, empty page templates in "Web/"
// (so the built-in pages are used) and a "Vardex.cfg".

#include <string>
#include <string_view>

#include "TempDir.h"
#include "TestPki.h"

namespace kelvane::testing {

// A configuration for 127.0.0.1 with the user "admin" / "secret" and the
// common name "localhost"; `extra` lines are added to the Configuration
// section.
std::string TestConfiguration(std::uint16_t port, std::string_view extra = {});

class TTestServiceFolder {
 public:
  explicit TTestServiceFolder(const TTestPkiOptions& pki = {});

  const std::string& Path() const { return FDir.Path(); }
  const TempDir& Dir() const { return FDir; }

  void WriteConfiguration(std::string_view content) const;

  // Today's log files (empty when there are none yet).
  std::string ErrorLog() const;
  std::string HistoryLog() const;

 private:
  TempDir FDir;
};

// A TCP port on 127.0.0.1 that nobody listens on right now.
std::uint16_t FreeLoopbackPort();

}  // namespace kelvane::testing
