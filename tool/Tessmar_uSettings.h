#pragma once

// The settings the administrator edits in the settings window, as plain texts,
// and the fixed facts about each field: design-time text, maximum length,
// hint and help topic. The window builds itself from this table and the logic
// works on the texts, so both agree without the logic seeing a widget.

#include <string>
#include <string_view>
#include <vector>

namespace kelvane {

// Every control of the settings window that has a hint or a help topic.
enum class TSettingsControl {
  None,
  EditCommonName,
  EditCountry,
  EditProvince,
  EditLocality,
  EditOrganization,
  EditOrgSection,
  EditEMail,
  EditIPNumber,
  EditPort,
  EditLoginPath,
  MemoUser,
  EditProxy,
  EditProxyPort,
  EditAuthorityURL,
  EditAcmeDirectory,
  EditAcmeEMail,
  btnAbort,
  btnHelp,
  BtnManual,
  btnTutorial,
  btnConfigure,
};

struct TSettingsControlInfo {
  TSettingsControl Control;
  const char* Name;       // the component name, also the widget's object name
  const char* Label;      // the caption of its label or button ("" when none)
  int MaxLength;          // 0 = no limit
  std::string Hint;       // shown in the status bar when the control takes the focus
  int HelpTopic;          // 0 = none
};

// The facts of one control; None gives an entry with empty texts.
const TSettingsControlInfo& ControlInfo(TSettingsControl control);

// The controls of one group in the order they appear.
const std::vector<TSettingsControl>& CertificateControls();
// The fields of each certificate source; the window shows those of the
// chosen one below the subject fields.
const std::vector<TSettingsControl>& AuthorityControls();
const std::vector<TSettingsControl>& AcmeControls();
const std::vector<TSettingsControl>& ConfigurationControls();
const std::vector<TSettingsControl>& ProxyControls();
const std::vector<TSettingsControl>& ButtonControls();

// Where the server's certificate comes from.
enum class TCertificateSource {
  // The organisation's certificate authority signs the tool's request.
  Authority,
  // The service obtains (and renews) it over ACME itself; the tool only
  // writes the section [ACME].
  Acme,
  // A root of the installation's own, made by the tool, for internal networks.
  LocalRoot,
};

// The name in the configuration file and on the command line
// ("authority", "acme", "local-root"), and back; false for an unknown name.
const char* CertificateSourceName(TCertificateSource source);
bool ParseCertificateSource(const std::string& name, TCertificateSource& source);
// The caption of a source in the settings window's choice.
const char* CertificateSourceCaption(TCertificateSource source);

// Let's Encrypt's production directory, proposed for ACME, and its staging
// directory for trials (named in the help).
inline constexpr const char* SuggestedAcmeDirectory = "https://acme-v02.api.letsencrypt.org/directory";
inline constexpr const char* StagingAcmeDirectory = "https://acme-staging-v02.api.letsencrypt.org/directory";

// The texts of the settings window's fields. Defaults are the design-time texts.
struct TSettingsFields {
  std::string CommonName;
  std::string Country = "US";
  std::string Province;
  std::string Locality;
  std::string Organization;
  std::string OrgSection;
  std::string EMail;
  std::string IPNumber;
  std::string Port = "443";
  std::string LoginPath;  // a new installation is proposed ProposedLoginPath()
  std::vector<std::string> UserLines;
  std::string Proxy;
  std::string ProxyPort;
  TCertificateSource Source = TCertificateSource::Authority;
  std::string AuthorityURL;
  std::string AcmeDirectory = SuggestedAcmeDirectory;
  std::string AcmeEMail;

  // The text of one single-line field; MemoUser and buttons give "".
  const std::string& Text(TSettingsControl control) const;
  std::string& Text(TSettingsControl control);
};

// A login path nobody can guess, for an installation that has none yet:
// "Door_" and 16 random letters and digits.
std::string ProposedLoginPath();

// The lines of a multi-line text as a text control holds them: "\n" or "\r\n"
// ends a line, and a line break at the very end does not start another line.
std::vector<std::string> SplitMemoLines(std::string_view text);
std::string JoinMemoLines(const std::vector<std::string>& lines);

// The login address preview: " https://" + host + ":" + port + "/" + path + " ",
// where host is the common name, or the IP number when the common name is empty.
std::string LoginURL(const TSettingsFields& fields);

}  // namespace kelvane
