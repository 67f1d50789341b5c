#pragma once

// One certificate from an ACME server, start to end: the account (its key
// made once), an order for one DNS name, the challenge published through a
// responder and accepted, polling bounded by a time limit with the server's
// Retry-After honoured, finalisation with a new RSA key, the download, and
// the three certificate files written.

#include <chrono>
#include <functional>
#include <string>
#include <string_view>

#include "KMX_uAcmeChallenge.h"
#include "KMX_uAcmeClient.h"

namespace kelvane {

struct TAcmeIssueSettings {
  std::string Directory;       // the directory URL
  std::string EMail;           // the account's contact; may be empty
  std::string ExtraRootsFile;  // PEM roots trusted for the server's HTTPS and for completing CAcert.pem
  std::string DnsName;         // the name the certificate is for
  std::string AccountKeyFile;
  std::string OutputFolder;    // receives the three files; ends in a separator
  std::string KeyPassphrase;   // encrypts WSSkey.pem
  // The identifier of the certificate the new one replaces (see
  // AcmeCertificateId), named in the order when the server offers renewal
  // information; empty for a first certificate.
  std::string Replaces;
  // How long the server may take, from the order to the issued certificate.
  std::chrono::seconds OrderTimeLimit{300};
  std::chrono::milliseconds RequestTimeOut{30000};
  // The wait between two polls when the server asks for none.
  std::chrono::milliseconds PollInterval{1000};
};

// Each step, for the log.
using TAcmeProgress = std::function<void(std::string_view)>;
// Waits between polls; answers false when the wait was cut short because the
// service stops, which ends the issuance.
using TAcmeWait = std::function<bool(std::chrono::milliseconds)>;
TAcmeWait SleepingWait();

// False, with a reason that names the step, when anything fails; `failure`
// then tells whether the ACME server refused for good. The files are written
// only after the certificate was downloaded.
bool ObtainCertificate(const TAcmeIssueSettings& settings, IAcmeChallengeResponder& responder,
                       const TAcmeProgress& progress, const TAcmeWait& wait, std::string& error,
                       TAcmeFailure& failure);
bool ObtainCertificate(const TAcmeIssueSettings& settings, IAcmeChallengeResponder& responder,
                       const TAcmeProgress& progress, const TAcmeWait& wait, std::string& error);

}  // namespace kelvane
