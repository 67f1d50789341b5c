#include "ToolInstallation.h"

#include <filesystem>

#include "Tessmar_uGlobal.h"
#include "ucPaths.h"
#include "ucPipe.h"

namespace kelvane::testing {

TSettingsFields SampleFields() {
  TSettingsFields fields;
  fields.CommonName = "reboot.example.com";
  fields.Country = "NZ";
  fields.Province = "Canterbury";
  fields.Locality = "Christchurch";
  fields.Organization = "Example Ltd";
  fields.OrgSection = "Operations";
  fields.EMail = "admin@example.com";
  fields.IPNumber = "";
  fields.Port = "8443";
  fields.LoginPath = "Morning_Door";
  fields.UserLines = {"alice=Crocus1", "bob=Crocus=2"};
  fields.AuthorityURL = "http://ca.example.org:8080/certreq";
  return fields;
}

TToolInstallation::TToolInstallation() : Folder(Dir.Path()), Clock(LocalTimePoint(2024, 3, 5, 14, 30, 0)) {
  ResetGlobals();
  std::filesystem::create_directories(Folder + "Cert");
  std::filesystem::create_directories(Folder + "Docs");
  Dir.WriteFile("Docs/vardex.html", "<html><body><a name=\"1999\"></a>help</body></html>");
  Global().HelpFilePath = HelpFilePathIn(Folder);

  TToolServices services = MachineToolServices();
  const auto realRun = services.RunCommand;
  services.RunCommand = [this, realRun](const std::string& commandLine, const std::string& folder) {
    if (commandLine.rfind("ping ", 0) == 0) {
      Ping.Commands.push_back(commandLine);
      TConsoleRun run;
      run.Output = Ping.Output;
      run.Succeeded = true;
      return run;
    }
    return realRun(commandLine, folder);
  };
  services.LocalIPNumber = [this] { return Ping.LocalIP; };
  services.Now = Clock.AsClock();
  services.DecimalSeparator = '.';
  Process = std::make_unique<TdmProcess>(UI, Folder, Folder + "tessmar", services);
}

TToolInstallation::~TToolInstallation() {
  Process.reset();
  ResetGlobals();
}

std::string TToolInstallation::Read(const std::string& relative) const { return ReadFile(ResolvePath(Folder + relative)); }

bool TToolInstallation::Exists(const std::string& relative) const { return FileExists(Folder + relative); }

bool MakeTestRoot(const std::string& folder) {
  std::int32_t errorCode = 0;
  std::string output;
  const TProcessStatus status = RunConsoleCommand(
      "openssl req -x509 -newkey rsa:2048 -nodes -keyout \"" + folder + "root.key\" -out \"" + folder +
          "root.pem\" -subj \"/CN=Kelvane Test Root\" -days 2 -addext \"basicConstraints=critical,CA:TRUE\" "
          "-addext \"keyUsage=critical,keyCertSign,cRLSign\"",
      errorCode, output);
  return errorCode == 0 && status.Succeeded();
}

}  // namespace kelvane::testing
