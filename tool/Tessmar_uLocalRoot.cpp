#include "Tessmar_uLocalRoot.h"

#include <cctype>

#include "ucPaths.h"

namespace kelvane {
namespace {

std::string Quoted(const std::string& path) { return "\"" + path + "\""; }

// The name as it may stand in the root's subject on a command line: letters,
// digits, dots and hyphens (a host name or an address).
std::string SubjectSafe(const std::string& name) {
  std::string safe;
  for (char c : name) {
    if (std::isalnum(static_cast<unsigned char>(c)) != 0 || c == '.' || c == '-') safe += c;
  }
  return safe;
}

}  // namespace

TLocalRootFiles LocalRootFiles(const std::string& folder) {
  return {ResolvePath(folder + "Cert/LocalRootkey.pem"), ResolvePath(folder + "Cert/LocalRootcert.pem")};
}

std::string OpensslLocalRootArguments(const TLocalRootFiles& files, const std::string& commonName) {
  return "req -x509 -newkey rsa:3072 -nodes -sha256 -days 3650 -keyout " + Quoted(files.Key) + " -out " +
         Quoted(files.Certificate) + " -subj " + Quoted("/O=Vardex/CN=Vardex local root for " + SubjectSafe(commonName)) +
         " -addext " + Quoted("basicConstraints=critical,CA:TRUE,pathlen:0") + " -addext " +
         Quoted("keyUsage=critical,keyCertSign,cRLSign");
}

std::string LocalRootTrustNote(const std::string& rootPath, const std::string& fingerprint) {
  return "The certificate was issued by a root of this server's own:\r\n\r\n" + rootPath +
         "\r\nSHA-256 fingerprint " + fingerprint +
         "\r\n\r\nBrowsers warn about Vardex until they trust this root: copy the file to each computer you "
         "log in from and import it as a trusted root certificate authority in the browser (or the system), "
         "checking that it shows the fingerprint above. The root's key stays in the same folder; keep it there "
         "and private.\r\n";
}

}  // namespace kelvane
