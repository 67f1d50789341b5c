#include "Tessmar_uSettingsForm.h"

#include <cctype>
#include <exception>

#include "Tessmar_uGlobal.h"
#include "Tessmar_uText.h"
#include "Tessmar_uUserList.h"
#include "ucAsciiText.h"

namespace kelvane {
namespace {

// The text starts with the scheme, in any case, and names something after it.
bool HasAddressAfter(const std::string& text, std::string_view scheme) {
  return text.size() > scheme.size() && StartsWithIgnoringAsciiCase(text, scheme);
}

// Characters of UTF-8 text: every byte that does not continue a sequence.
size_t CharacterCount(const std::string& text) {
  size_t count = 0;
  for (char c : text) {
    if ((static_cast<unsigned char>(c) & 0xC0) != 0x80) ++count;
  }
  return count;
}

// True when the character at `at` makes the text beside an address part of a
// longer address or name; `outward` is the step away from the address. A
// colon continues only an IPv6 address, and only when a hexadecimal digit
// follows it: after an address it is ping's punctuation
// ("from 10.0.0.1: icmp_seq=1", "from fe80::1: icmp_seq=1").
bool ContinuesAddress(const std::string& text, size_t at, int outward, bool ipv6) {
  const char c = text[at];
  const auto u = static_cast<unsigned char>(c);
  if (std::isalnum(u) != 0 || c == '.' || c == '-' || c == '_') return true;
  if (c != ':' || !ipv6) return false;
  const size_t beyond = at + static_cast<size_t>(outward);
  return beyond < text.size() && std::isxdigit(static_cast<unsigned char>(text[beyond])) != 0;
}

}  // namespace

bool PingShowsAddress(const std::string& output, const std::string& address) {
  if (address.empty()) return false;
  const bool ipv6 = address.find(':') != std::string::npos;
  for (size_t at = output.find(address); at != std::string::npos; at = output.find(address, at + 1)) {
    const size_t end = at + address.size();
    const bool startsAlone = at == 0 || !ContinuesAddress(output, at - 1, -1, ipv6);
    const bool endsAlone = end == output.size() || !ContinuesAddress(output, end, 1, ipv6);
    if (startsAlone && endsAlone) return true;
  }
  return false;
}

int LayoutMargin(int density) {
  if (density == 120) return 7;
  if (density == 144) return 8;
  return 6;
}

TWindowSize ArrangeWindowSize(TWindowSize created, int density) {
  if (density == 96) created.Height += 5;
  return created;
}

TWindowSize MaximumWindowSize(TWindowSize arranged) { return {arranged.Width + 10, arranged.Height + 10}; }

TSettingsFormLogic::TSettingsFormLogic(TdmProcess& process, ISettingsWindow& window)
    : FProcess(process), FWindow(window) {}

void TSettingsFormLogic::LoadSettings() {
  TSettingsFields fields;
  std::string error;
  const bool ok = FProcess.LoadSettings(fields, error);
  FWindow.SetFields(fields);
  if (!ok) FProcess.ReportError(error);
}

bool TSettingsFormLogic::ValidateSettings() {
  IUserInterface& ui = FProcess.UI();
  TSettingsFields fields = FWindow.Fields();
  if (fields.Port == "443" &&
      !ui.Ask("If you run Vardex on port #443, your normal web server (if any) may not be able to deliver over HTTPS "
              "on port 443. We recommend that you select another port.\r\n\r\nWe do not tell you which port to "
              "select because that would make it easier for unwanted visitors to guess where you have Vardex "
              "running.\r\n\r\nDo you want Vardex to use port #443 for now?  (Answer NO to change port#.)")) {
    return false;
  }
  if (fields.UserLines.empty()) {
    ui.ShowMessage(TMessageKind::Error, "Enter at least one Username and Password.");
    return false;
  }
  for (const std::string& line : fields.UserLines) {
    if (line.find('=') == std::string::npos) {
      ui.ShowMessage(TMessageKind::Error, "The syntax for Users and Passwords requires a = on each line.");
      return false;
    }
  }
  if (!PingCommonName(fields)) return false;
  if (fields.Source == TCertificateSource::Acme) {
    if (!HasAddressAfter(fields.AcmeDirectory, "https://")) {
      ui.ShowMessage(TMessageKind::Error, std::string("Enter the https:// address of the ACME directory, e.g. ") +
                                              SuggestedAcmeDirectory + ".");
      return false;
    }
    // The subject fields below belong to a request, which ACME does not use.
    return true;
  }
  if (fields.Source == TCertificateSource::Authority && !HasAddressAfter(fields.AuthorityURL, "http://")) {
    ui.ShowMessage(TMessageKind::Error,
                   "Enter the http:// address of your organisation's certificate authority in Authority URL, e.g. "
                   "http://ca.example.org:8080/certreq, or choose another source of the certificate.");
    return false;
  }
  fields.Country = UpperCaseAscii(fields.Country);
  FWindow.SetFieldText(TSettingsControl::EditCountry, fields.Country);
  if (CharacterCount(fields.Country) != 2) {
    ui.ShowMessage(TMessageKind::Error, "The 2 letter country code is required for the secure certificate.");
    return false;
  }
  return true;
}

bool TSettingsFormLogic::PingCommonName(const TSettingsFields& fields) {
  if (fields.IPNumber.empty()) return true;
  const std::string localIP = FProcess.Services().LocalIPNumber();
  if (fields.IPNumber == localIP) return true;

  IUserInterface& ui = FProcess.UI();
  bool result = false;
  TConsoleRun run;
  try {
    run = FProcess.Services().RunCommand("ping -c 1 " + fields.CommonName, "");
    result = PingShowsAddress(run.Output, fields.IPNumber);
  } catch (const std::exception& e) {
    ui.ShowMessage(TMessageKind::Error, std::string(e.what()) + "\r\n" + run.Output);
    result = false;
  }
  if (!result) {
    ui.ShowMessage(TMessageKind::Warning, "Unexpected Common Name and IP Number combination.\r\n\r\n" +
                                              fields.CommonName + " does not ping to " + fields.IPNumber + "\r\n" +
                                              "Consider using [ " + localIP + "]" + "\r\n" +
                                              "or leave the IP Number blank in the configuration");
  }
  return result;
}

void TSettingsFormLogic::EndSequence() {
  FSequenceRunning = false;
  FWindow.SetSequenceRunning(false);
}

void TSettingsFormLogic::btnConfigureClick() {
  // The menu item and the button both lead here; while the exchange with the
  // authority runs, the window keeps handling input.
  if (FSequenceRunning) return;
  FSequenceRunning = true;
  FWindow.SetSequenceRunning(true);
  bool succeeded = false;
  bool saved = false;
  std::string previousCommonName;
  std::string newCommonName;
  try {
    if (ValidateSettings()) {
      // The sequence works on the fields as they were checked, so what is
      // saved, requested and written to the readme is one set of values
      // even if the person types on while the authority answers.
      TSettingsFields fields = FWindow.Fields();
      previousCommonName = FProcess.StoredCommonName();
      newCommonName = fields.CommonName;
      FWindow.SetStatusText("Writing " + FProcess.ConfigFileName());
      std::string error;
      // Typed passwords are saved as hashes, and the window shows the list
      // as saved, so no password stays on the screen.
      const bool hashed = HashUserPasswords(fields.UserLines, error);
      if (hashed) FWindow.SetFields(fields);
      FProcess.UI().ProcessMessages();
      if (!hashed || !FProcess.SaveSettings(fields, error)) {
        FProcess.ReportError(error);
      } else {
        saved = true;
        succeeded = FProcess.ConfigureWithCustomCertificate(fields, LoginURL(fields), FWindow);
      }
    }
  } catch (const std::exception& e) {
    FProcess.ReportError(e.what());
  }
  // Without a new certificate the service goes on with the working one, which
  // names the Common Name the file held before.
  if (saved && !succeeded && FProcess.KeepCommonNameOfWorkingPair(previousCommonName)) {
    FWindow.SetStatusText("The Common Name stays " + previousCommonName + " until a certificate for " +
                          newCommonName + " is installed.");
  }
  EndSequence();
  if (succeeded) {
    Global().KeepGoing = false;
    FWindow.CloseWithOK();
  }
}

}  // namespace kelvane
