#pragma once

// Checks of the service's certificate files with the openssl program, run
// before the HTTPS listener starts: the program and its libraries are there,
// a certificate loads, the private key opens with the passphrase, what the
// server certificate says, and that the root certificate signed it.
//
// File arguments are names relative to the openssl folder ("Cert\WSScert.pem");
// they are resolved without regard to case. Each check writes its own troubles
// to the error log it was given.

#include <chrono>
#include <functional>
#include <stdexcept>
#include <string>
#include <string_view>

#include "ucPipe.h"
#include "ucTime.h"

namespace kelvane {

// A certificate date that cannot be read. It is not a failed check but a
// broken answer of the openssl program, so it reaches the start sequence.
class ECertDateError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Where a check writes an error line.
using TErrorWriter = std::function<void(std::string_view)>;

// The openssl program and the libraries it needs, in the installation folder
// and as the dynamic loader finds them.
inline constexpr const char* OpenSSLProgram = "openssl";
inline constexpr const char* OpenSSLLibraries[] = {"libcrypto.so.3", "libssl.so.3"};

class TCertificateChecks {
 public:
  explicit TCertificateChecks(TErrorWriter writeError, std::chrono::milliseconds timeOut = DefaultConsoleTimeOut);

  // Remembers the folder (with a separator appended) for every later check,
  // then answers whether the openssl program is in it and its libraries load.
  bool CheckOpenSSLFolder(std::string_view folder);
  const std::string& OpenSSLFolder() const { return FOpenSSLFolder; }

  // True when the certificate file loads.
  bool CheckCert(std::string_view certFile);

  // True when the key file opens with the passphrase.
  bool CheckKey(std::string_view keyFile, std::string_view passphrase);

  // Reads the subject's common name and the validity period of a certificate.
  // Throws ECertDateError when a date is there but cannot be read.
  bool GetCertValues(std::string_view certFile, TimePoint& notBefore, TimePoint& notAfter, std::string& commonName);

  // True when the server certificate verifies against the root certificate.
  bool CheckSignRootServer(std::string_view rootFile, std::string_view serverFile);

 private:
  std::string FullPath(std::string_view relativeName) const;
  // Runs openssl with the arguments; logs "<check> ErrorCode=<code>" for a
  // failed start or a time-out when `logErrorCode` is set. After one time-out
  // openssl is not run again: every later call fails at once as timed out.
  TProcessStatus RunOpenSSL(const char* check, const std::string& arguments, std::string& output,
                            bool logErrorCode);

  TErrorWriter FWriteError;
  std::chrono::milliseconds FTimeOut;
  std::string FOpenSSLFolder;
  // Set once openssl outlived the time-out; later checks then fail at once.
  bool FTimedOut = false;
};

// The subject's common name on the "Subject:" line of `openssl x509 -text`
// output, in either the "CN=name/emailAddress=..." or the
// "CN = name, emailAddress = ..." form. False when the output has no
// "Subject:" label; an empty name when the subject line holds no common name.
bool ExtractCommonName(std::string_view output, std::string& commonName);

// The date after `label` ("Not Before:" or "Not After :") in the layout
// "Jan  9 12:30:00 2014 GMT", as a moment in time. False when the label is
// missing; throws ECertDateError when the date cannot be read.
bool ReadCertDate(std::string_view output, std::string_view label, TimePoint& date);

}  // namespace kelvane
