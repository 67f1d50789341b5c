#include "Tessmar_uRequestFile.h"

#include "Tessmar_uProduct.h"
#include "Tessmar_uText.h"
#include "ucAsciiText.h"

namespace kelvane {
namespace {

// The key padded with spaces to 27 columns.
std::string Columns(const std::string& key) { return key + std::string(key.size() < 27 ? 27 - key.size() : 0, ' '); }

std::string Tabs(const std::string& key, int count) { return key + std::string(static_cast<size_t>(count), '\t'); }

std::string Quoted(const std::string& path) { return "\"" + path + "\""; }

}  // namespace

bool IsIPv4Address(const std::string& text) {
  int parts = 0;
  size_t start = 0;
  while (true) {
    size_t end = text.find('.', start);
    if (end == std::string::npos) end = text.size();
    const std::string part = text.substr(start, end - start);
    if (part.empty() || part.size() > 3 || part.find_first_not_of("0123456789") != std::string::npos ||
        std::stoi(part) > 255) {
      return false;
    }
    ++parts;
    if (end == text.size()) break;
    start = end + 1;
  }
  return parts == 4;
}

std::string BuildRequestConfiguration(const TSettingsFields& fields) {
  const std::string subjectAltName = (IsIPv4Address(fields.CommonName) ? "IP:" : "DNS:") + fields.CommonName;
  const std::string lines[] = {
      Tabs("HOME", 3) + "= .",
      "RANDFILE\t\t        = $HOME/.rnd",
      "",
      Tabs("oid_section", 2) + "= new_oids",
      "",
      "[ new_oids ]",
      "",
      "[ policy_match ]",
      Columns("policy") + "= policy_anything",
      "",
      "[ policy_anything ]",
      Tabs("countryName", 2) + "= optional",
      Tabs("stateOrProvinceName", 1) + "= optional",
      Tabs("localityName", 2) + "= optional",
      Tabs("organizationName", 2) + "= optional",
      Tabs("organizationalUnitName", 1) + "= optional",
      Tabs("commonName", 3) + "= supplied",
      Tabs("emailAddress", 2) + "= optional",
      "",
      "[ req ]",
      // 2048 bits: OpenSSL's default security level refuses smaller RSA keys
      // for TLS, and the service could never listen with one.
      Tabs("default_bits", 2) + "= 2048",
      "default_keyfile \t        = privkey.pem",
      "distinguished_name\t        = req_distinguished_name",
      Columns("prompt") + "= no",
      Tabs("attributes", 3) + "= req_attributes",
      Tabs("x509_extensions", 2) + "= v3_ca",
      Columns("string_mask") + "= nombstr",
      Columns("req_extensions") + "= v3_req",
      "",
      "[ req_distinguished_name ]",
      Columns("C") + "= " + fields.Country,
      Columns("ST") + "= " + fields.Province,
      Columns("L") + "= " + fields.Locality,
      Columns("O") + "= " + fields.Organization,
      Columns("OU") + "= " + fields.OrgSection,
      Columns("CN") + "= " + fields.CommonName,
      Columns("emailAddress") + "= " + fields.EMail,
      "",
      "[ req_attributes ]",
      Tabs("challengePassword", 2) + "= marzipans",
      "",
      "[ usr_cert ]",
      "basicConstraints=CA:FALSE",
      "subjectKeyIdentifier=hash",
      "authorityKeyIdentifier=keyid,issuer:always",
      "",
      "[ v3_req ]",
      "basicConstraints = CA:FALSE",
      "keyUsage = nonRepudiation, digitalSignature, keyEncipherment",
      // Browsers ignore the common name and insist on a subject alternative
      // name; the authority copies it from the request into the certificate.
      "subjectAltName = " + subjectAltName,
      "",
      "[ v3_ca ]",
      "subjectKeyIdentifier=hash",
      "authorityKeyIdentifier=keyid:always,issuer:always",
      "basicConstraints = CA:true",
      "",
      "[ crl_ext ]",
      "authorityKeyIdentifier=keyid:always,issuer:always",
  };
  std::string text;
  for (const std::string& line : lines) text += line + "\r\n";
  return text;
}

std::string OpensslRequestArguments(const std::string& configPath, const std::string& keyPath,
                                    const std::string& requestPath) {
  return std::string("req -passout pass:") + KeyPassphrase + " -config " + Quoted(configPath) + " -new -keyout " +
         Quoted(keyPath) + " -out " + Quoted(requestPath);
}

bool CheckOpensslOutput(const std::string& output, std::string& message) {
  if (ContainsIgnoringAsciiCase(output, "cannot execute the specified program")) {
    message = std::string("Openssl.exe could not run on this machine. Reinstalling the Microsoft Visual C++ 2008 "
                          "Redistributables from \r\n") +
              product::OpensslRuntimeAddress + "\r\nis likely to help.";
    return false;
  }
  const size_t position = FindIgnoringAsciiCase(output, "error");
  if (position != std::string::npos) {
    message = "Sorry, openssl.exe was unable to generate a request for you. The error message is:\r\n\r\n" +
              output.substr(position) + "\r\n" + "\r\n" + "If problems persist, please email " +
              product::CustomerServiceEMail + ".";
    return false;
  }
  return true;
}

}  // namespace kelvane
