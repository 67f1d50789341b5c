// kelvane-authority: a certificate authority for Kelvane installations that
// signs with the organisation's own root. Point the tool at it with the key
// AuthorityURL in the section CertificateRequest of Vardex.cfg.

#include <iostream>
#include <string>

#include "Authority_uServer.h"
#include "ucTime.h"
#include "ucVersionInfo.h"

namespace {

const char* const Usage =
    "usage: kelvane-authority --root-cert FILE --root-key FILE [options]\n"
    "  --listen ADDRESS:PORT      where to answer (default 127.0.0.1:8080)\n"
    "  --path PATH                address of the endpoint (default /certreq)\n"
    "  --root-key-pass-file FILE  file holding the root key's passphrase\n"
    "  --days N                   validity of issued certificates (default 825)\n"
    "  --openssl PROGRAM          the openssl program (default openssl)\n"
    "  --work-folder FOLDER       where requests are handled (default the temporary folder)\n"
    "  --help                     this text\n"
    "  --version                  the version of this program\n";

bool ParsePort(const std::string& text, std::uint16_t& port) {
  if (text.empty() || text.size() > 5 || text.find_first_not_of("0123456789") != std::string::npos) return false;
  const unsigned long value = std::stoul(text);
  if (value > 65535) return false;
  port = static_cast<std::uint16_t>(value);
  return true;
}

}  // namespace

int main(int argc, char* argv[]) {
  using namespace kelvane;
  TSignerOptions options;
  std::string listen = "127.0.0.1:8080";
  std::string path = "/certreq";
  for (int i = 1; i < argc; ++i) {
    const std::string name = argv[i];
    if (name == "--help" || name == "-h") {
      std::cout << Usage;
      return 0;
    }
    if (name == "--version") {
      RegisterVersionResource(MakeVersionResource({{"ProductName", "Kelvane"}}));
      std::cout << "kelvane-authority " << GetFileVersionText(false) << "\n";
      return 0;
    }
    if (i + 1 >= argc) {
      std::cerr << Usage;
      return 2;
    }
    const std::string value = argv[++i];
    if (name == "--listen") listen = value;
    else if (name == "--path") path = value;
    else if (name == "--root-cert") options.RootCertificate = value;
    else if (name == "--root-key") options.RootKey = value;
    else if (name == "--root-key-pass-file") options.RootKeyPassFile = value;
    else if (name == "--days") options.Days = std::atoi(value.c_str());
    else if (name == "--openssl") options.Openssl = value;
    else if (name == "--work-folder") options.WorkFolder = value;
    else {
      std::cerr << "kelvane-authority: unknown option " << name << "\n" << Usage;
      return 2;
    }
  }
  const size_t colon = listen.rfind(':');
  std::uint16_t port = 0;
  if (options.RootCertificate.empty() || options.RootKey.empty() || colon == std::string::npos ||
      !ParsePort(listen.substr(colon + 1), port) || options.Days <= 0 || path.empty() || path.front() != '/') {
    std::cerr << Usage;
    return 2;
  }

  TAuthority authority(TCertificateSigner(options), path);
  authority.OnLog = [](const std::string& line) {
    std::cout << FormatTimeStamp(ToLocalTime(SystemClock()())) << " " << line << std::endl;
  };
  TAuthorityServer server(authority);
  std::string error;
  if (!server.Listen(listen.substr(0, colon), port, error)) {
    std::cerr << "kelvane-authority: " << error << "\n";
    return 1;
  }
  std::cout << "kelvane-authority: answering at http://" << listen.substr(0, colon) << ":" << server.Port() << path
            << std::endl;
  server.Run();
  return 0;
}
