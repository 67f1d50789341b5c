#pragma once

// A Kelvane installation folder in a temporary folder ("Cert" and "Docs"
// below it, the help file), the tool's data module on it with scripted
// answers, and a test root certificate that a reference authority signs with.

#include <memory>
#include <string>

#include "FakeClock.h"
#include "ScriptedUserInterface.h"
#include "TempDir.h"
#include "Tessmar_dmProcess.h"

namespace kelvane::testing {

// The fields of a complete, valid set of settings.
TSettingsFields SampleFields();

struct TPingScript {
  std::string LocalIP = "192.0.2.10";  // this machine's first address as the tool sees it
  std::string Output;                  // what the ping prints
  std::vector<std::string> Commands;   // the ping command lines run
};

class TToolInstallation {
 public:
  TToolInstallation();
  ~TToolInstallation();

  TempDir Dir;
  std::string Folder;  // Dir.Path()
  TScriptedUserInterface UI;
  TPingScript Ping;
  FakeClock Clock;
  std::unique_ptr<TdmProcess> Process;

  std::string Read(const std::string& relative) const;
  bool Exists(const std::string& relative) const;
};

// A self-signed root certificate "root.pem" and its key "root.key" in
// `folder`, made with the openssl program. False when openssl failed.
bool MakeTestRoot(const std::string& folder);

}  // namespace kelvane::testing
