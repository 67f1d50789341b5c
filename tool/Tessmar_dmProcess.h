#pragma once

// The configuration tool's data module: the one object that lives for the
// whole run. It owns the HTTP client that talks to the certificate authority,
// knows the files of the installation, and carries out everything behind the
// windows: the cycle of windows, the configuration file, the key and request,
// the submission, the readme, the logs, help and the about boxes.

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "Tessmar_uKeyPair.h"
#include "Tessmar_uSettings.h"
#include "Tessmar_uSubmission.h"
#include "Tessmar_uUserInterface.h"
#include "ucTime.h"

namespace kelvane {

class THttpClient;
class TIniDocument;

// How a console program ran.
struct TConsoleRun {
  std::string Output;   // standard output and standard error together
  int StartError = 0;   // the system's code when the program could not be started
  bool Succeeded = false;  // ran to its end with exit status 0
};

// What the data module takes from the machine; tests hand in their own.
struct TToolServices {
  // Runs a command line in a folder (the caller's folder when empty).
  std::function<TConsoleRun(const std::string& commandLine, const std::string& folder)> RunCommand;
  // The first IPv4 address of this machine ("" when there is none).
  std::function<std::string()> LocalIPNumber;
  Clock Now;
  // The decimal separator of date-time numbers; 0 = the locale's.
  char DecimalSeparator = 0;
};

// The real machine: the console tool runner, the address lookup, the system clock.
TToolServices MachineToolServices();

// The windows of the tool as Main drives them.
class IToolWindows {
 public:
  virtual ~IToolWindows() = default;
  // Shows the welcome window modally; true when it closed with Next.
  virtual bool ShowWelcome() = 0;
  // Arranges the settings window and loads its fields from the configuration file.
  virtual void PrepareSettings() = 0;
  // Shows the settings window modally; true when a save sequence succeeded.
  virtual bool ShowSettings() = 0;
};

// The settings window as the save sequence sees it.
class ISettingsWindow {
 public:
  virtual ~ISettingsWindow() = default;
  virtual TSettingsFields Fields() const = 0;
  virtual void SetFields(const TSettingsFields& fields) = 0;
  virtual void SetFieldText(TSettingsControl control, const std::string& text) = 0;
  // Puts a text into the status panel.
  virtual void SetStatusText(const std::string& text) = 0;
  // While a save sequence runs, the save action, Back and closing the window
  // are disabled.
  virtual void SetSequenceRunning(bool running) = 0;
  // Closes the window with the OK result.
  virtual void CloseWithOK() = 0;
};

class TdmProcess {
 public:
  // `folder` is the installation folder (ending in a separator) and
  // `programPath` the running program's file, whose name the logs follow.
  TdmProcess(IUserInterface& ui, std::string folder, std::string programPath,
             TToolServices services = MachineToolServices());
  ~TdmProcess();
  TdmProcess(const TdmProcess&) = delete;
  TdmProcess& operator=(const TdmProcess&) = delete;

  // Sets up the HTTP client and binds the configuration file.
  void DataModuleCreate();

  // The cycle of the welcome window and the settings window until the person
  // cancels or a save sequence succeeds.
  void Main(IToolWindows& windows);

  // Appends the message to the error log, then shows it in an error box.
  void ReportError(const std::string& message);

  // Loads the fields from the configuration file (one batch). On failure the
  // fields keep their design-time texts and `error` says why.
  bool LoadSettings(TSettingsFields& fields, std::string& error);

  // Writes the fields to the configuration file (one batch).
  bool SaveSettings(const TSettingsFields& fields, std::string& error);

  // Changes the configuration file in one batch; a missing file is written
  // whole in one step. False with the reason in `error`.
  bool EditConfiguration(const std::function<void(TIniDocument&)>& work, std::string& error);

  // The Common Name the configuration file holds now ("" when there is none).
  std::string StoredCommonName() const;

  // After a save sequence that installed no certificate: when a working
  // certificate exists and the file's Common Name is no longer `previous`,
  // writes `previous` back, so the service still starts on the working key
  // and certificate. True when it wrote.
  bool KeepCommonNameOfWorkingPair(const std::string& previous);

  // The certificate step of the save sequence, by the fields' source.
  // Authority and local root: confirmation, a new key and request, the
  // certificate from the authority or from the installation's own root, and
  // only when it arrived, belongs to the new key and chains to the root the
  // service will check it against: key, certificate, request and root in
  // place of the working ones, the readme and the closing message. ACME:
  // confirmation, the readme and the closing message; the service obtains
  // the certificate. True when all of that happened; otherwise the working
  // files are as they were and the new files are gone.
  bool ConfigureWithCustomCertificate(const TSettingsFields& fields, const std::string& loginURL,
                                      ISettingsWindow& window);

  // Writes "Docs/readme.txt" with the login address shown in the settings
  // window and a note about the certificate ("" for none).
  void SaveReadmeFile(const std::string& loginURL, const std::string& note = "");

  // Writes "request.safetodelete" into the installation folder.
  void WriteRequestInputFile(const TSettingsFields& fields);

  // Posts the new request ("Cert/WSSreq.pem.new") to the certificate
  // authority and saves the certificate it answers beside it as
  // "Cert/WSScert.pem.new", and the root that follows the certificate in the
  // answer, if any, as "Cert/CAcert.pem.new". False with the reason in
  // `error` (the authority's address and the cause); the caller shows it.
  bool SubmitCertificateRequest(const TSettingsFields& fields, std::string& error);

  // Minutes to add to local time to get UTC, in force now.
  int GetTimeZoneBias() const;

  void AboutVardex();
  void AboutPhoto();
  void LaunchVardexManual();
  void LaunchTutorial();
  void LaunchEMailToSupport();
  // Opens the help file at a topic; an error box when no viewer can show it.
  void ShowHelp(int topic);

  // The "Configuration cancelled" line of the welcome window's Cancel.
  void LogCancel();

  const std::string& Folder() const { return FFolder; }
  std::string ConfigFileName() const;
  std::string CancelLogFileName() const;
  std::string ErrorLogFileName() const;
  // The certificate authority's address used by the last save.
  const std::string& AuthorityURL() const { return FAuthorityURL; }

  IUserInterface& UI() { return FUI; }
  const TToolServices& Services() const { return FServices; }
  THttpClient& WebHTTP1() { return *FWebHTTP1; }

 private:
  bool GenerateKeyAndRequest();
  bool ConfigureForAcme(const TSettingsFields& fields, const std::string& loginURL);
  // Signs the new request with the installation's own root, made first when
  // there is none, and puts the root beside the new certificate.
  bool IssueFromLocalRoot(const TSettingsFields& fields, ISettingsWindow& window);
  // False (reported) when the new certificate does not chain to the root it
  // came with. Without one, and without a working root that fits, true with
  // the warning in `missingRoot`.
  bool CheckIssuerRoot(const TKeyPairFiles& pending, std::string& missingRoot);
  // The installation's openssl program, or the one on the search path.
  std::string OpensslProgram() const;
  // Runs openssl in the installation folder; false (reported) when it failed
  // or did not leave each of `madeFiles`.
  bool RunOpenssl(const std::string& arguments, const std::vector<std::string>& madeFiles);
  LocalTime Now() const;
  char DecimalSeparator() const;
  std::string InstallationPath(const std::string& relative) const;

  IUserInterface& FUI;
  std::string FFolder;
  std::string FProgramPath;
  TToolServices FServices;
  std::string FConfigFileName;
  std::string FAuthorityURL;
  std::string FConnectionError;  // the client's reason for the last failed connection
  TProxySetting FProxy;
  std::unique_ptr<THttpClient> FWebHTTP1;
};

}  // namespace kelvane
