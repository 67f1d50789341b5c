#include "Tessmar_uSettings.h"

#include <random>
#include <stdexcept>

#include "Tessmar_uProduct.h"

namespace kelvane {
namespace {

using enum TSettingsControl;

const std::vector<TSettingsControlInfo>& ControlTable() {
  static const std::vector<TSettingsControlInfo> table = {
      {None, "", "", 0, "", 0},
      {EditCommonName, "EditCommonName", "Common &Name", 64,
       std::string("Enter domain name or IP number of machine-to-be-rebooted, e.g. ") + product::SampleHostName,
       1094},
      {EditCountry, "EditCountry", "Country Code", 2, "Enter 2 letter country code such as AU, NZ, RU, etc.", 1091},
      {EditProvince, "EditProvince", "State", 0,
       "Enter state or province, such as California. Enter \"n/a\" if not applicable.", 1091},
      {EditLocality, "EditLocality", "Locality (City)", 0, "Enter city, e.g. San Francisco", 1091},
      {EditOrganization, "EditOrganization", "Organization", 0,
       "Enter name of organization owning the server, e.g. The Red Cross", 1091},
      {EditOrgSection, "EditOrgSection", "Org Section", 0,
       "Enter the name of the organizational group owning the server", 1091},
      {EditEMail, "EditEMail", "EMail", 40, "", 1091},
      {EditIPNumber, "EditIPNumber", "IP Number", 15,
       "Enter the IP number corresponding to the Common Name, or blank to use first IP on the machine. ", 1093},
      {EditPort, "EditPort", "Vardex Port", 5,
       "Enter port that Vardex will run on. For optimal security, do NOT use port 443.", 1095},
      {EditLoginPath, "EditLoginPath", "Login Path", 0,
       "Enter path for rebooting; select anything except Vardex_Login!", 1096},
      {MemoUser, "MemoUser", "", 0, "Enter list of one or more users who may reboot the computer.", 1097},
      {EditProxy, "EditProxy", "Proxy IP or name:", 0, "e.g. 192.168.0.1", 1092},
      {EditProxyPort, "EditProxyPort", "Proxy Port", 5, "e.g. 80", 1092},
      {EditAuthorityURL, "EditAuthorityURL", "Authority URL", 0,
       "Enter the address of your organisation's certificate authority, e.g. http://ca.example.org:8080/certreq",
       1098},
      {EditAcmeDirectory, "EditAcmeDirectory", "ACME Directory", 0,
       std::string("Enter the ACME directory of the certificate authority, e.g. ") + SuggestedAcmeDirectory, 1098},
      {EditAcmeEMail, "EditAcmeEMail", "ACME EMail", 0,
       "Enter the address the certificate authority writes to about expiring certificates (optional)", 1098},
      {btnAbort, "btnAbort", "Ba&ck", 0, "", 0},
      {btnHelp, "btnHelp", "Help", 0, "Display Vardex Help File", 0},
      {BtnManual, "BtnManual", "Manual", 0, "Display the Vardex manual from its start", 0},
      {btnTutorial, "btnTutorial", "Tutorial", 0, "Launch Vardex tutorial in your web browser", 0},
      {btnConfigure, "btnConfigure", "C&ontinue Installation", 0,
       "Save settings, request secure certificate, and continue Vardex installation", 0},
  };
  return table;
}

}  // namespace

const TSettingsControlInfo& ControlInfo(TSettingsControl control) {
  for (const TSettingsControlInfo& info : ControlTable()) {
    if (info.Control == control) return info;
  }
  return ControlTable().front();
}

const std::vector<TSettingsControl>& CertificateControls() {
  static const std::vector<TSettingsControl> controls = {EditCommonName, EditCountry,   EditProvince, EditLocality,
                                                         EditOrganization, EditOrgSection, EditEMail};
  return controls;
}

const std::vector<TSettingsControl>& AuthorityControls() {
  static const std::vector<TSettingsControl> controls = {EditAuthorityURL};
  return controls;
}

const std::vector<TSettingsControl>& AcmeControls() {
  static const std::vector<TSettingsControl> controls = {EditAcmeDirectory, EditAcmeEMail};
  return controls;
}

const char* CertificateSourceName(TCertificateSource source) {
  switch (source) {
    case TCertificateSource::Acme: return "acme";
    case TCertificateSource::LocalRoot: return "local-root";
    case TCertificateSource::Authority: break;
  }
  return "authority";
}

bool ParseCertificateSource(const std::string& name, TCertificateSource& source) {
  for (TCertificateSource candidate :
       {TCertificateSource::Authority, TCertificateSource::Acme, TCertificateSource::LocalRoot}) {
    if (name == CertificateSourceName(candidate)) {
      source = candidate;
      return true;
    }
  }
  return false;
}

const char* CertificateSourceCaption(TCertificateSource source) {
  switch (source) {
    case TCertificateSource::Acme: return "ACME (for example Let's Encrypt), obtained by Vardex itself";
    case TCertificateSource::LocalRoot: return "A root of this server's own (internal networks)";
    case TCertificateSource::Authority: break;
  }
  return "My organisation's certificate authority";
}

const std::vector<TSettingsControl>& ConfigurationControls() {
  static const std::vector<TSettingsControl> controls = {EditIPNumber, EditPort, EditLoginPath};
  return controls;
}

const std::vector<TSettingsControl>& ProxyControls() {
  static const std::vector<TSettingsControl> controls = {EditProxy, EditProxyPort};
  return controls;
}

const std::vector<TSettingsControl>& ButtonControls() {
  static const std::vector<TSettingsControl> controls = {btnAbort, btnHelp, BtnManual, btnTutorial, btnConfigure};
  return controls;
}

const std::string& TSettingsFields::Text(TSettingsControl control) const {
  return const_cast<TSettingsFields*>(this)->Text(control);
}

std::string& TSettingsFields::Text(TSettingsControl control) {
  switch (control) {
    case EditCommonName: return CommonName;
    case EditCountry: return Country;
    case EditProvince: return Province;
    case EditLocality: return Locality;
    case EditOrganization: return Organization;
    case EditOrgSection: return OrgSection;
    case EditEMail: return EMail;
    case EditIPNumber: return IPNumber;
    case EditPort: return Port;
    case EditLoginPath: return LoginPath;
    case EditProxy: return Proxy;
    case EditProxyPort: return ProxyPort;
    case EditAuthorityURL: return AuthorityURL;
    case EditAcmeDirectory: return AcmeDirectory;
    case EditAcmeEMail: return AcmeEMail;
    default: break;
  }
  throw std::logic_error(std::string("no single-line text for ") + ControlInfo(control).Name);
}

std::string ProposedLoginPath() {
  static constexpr char Characters[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
  std::random_device device;
  std::uniform_int_distribution<size_t> pick(0, sizeof Characters - 2);
  std::string path = "Door_";
  for (int i = 0; i < 16; ++i) path += Characters[pick(device)];
  return path;
}

std::vector<std::string> SplitMemoLines(std::string_view text) {
  std::vector<std::string> lines;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string_view::npos) end = text.size();
    std::string_view line = text.substr(start, end - start);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    lines.emplace_back(line);
    start = end + 1;
  }
  return lines;
}

std::string JoinMemoLines(const std::vector<std::string>& lines) {
  std::string text;
  for (size_t i = 0; i < lines.size(); ++i) {
    if (i > 0) text += '\n';
    text += lines[i];
  }
  return text;
}

std::string LoginURL(const TSettingsFields& fields) {
  const std::string& host = fields.CommonName.empty() ? fields.IPNumber : fields.CommonName;
  return " https://" + host + ":" + fields.Port + "/" + fields.LoginPath + " ";
}

}  // namespace kelvane
