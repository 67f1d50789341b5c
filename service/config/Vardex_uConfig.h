#pragma once

// The service's in-memory copy of its configuration file "Vardex.cfg" and the
// check of a user name and password against the configured users.

#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "KMX_uAcmeSettings.h"
#include "ucIpConfig.h"
#include "ucSnapshot.h"

namespace kelvane {

// One string per user: the login name in lower case (folded beyond ASCII
// too), "=", the password (in clear text or as a crypt(3) hash); both UTF-8.
using TUserList = std::vector<std::string>;

// The users with a second factor: login name folded as in TUserList and the
// bytes of the one-time-code secret (empty when the file's secret was not
// valid base32, so that user cannot log in until it is mended).
using TTOTPList = std::vector<std::pair<std::string, std::string>>;

// The values one reading of the configuration file yields. A reload reads
// them first and applies them only once everything that depends on them is
// ready, so that it takes effect whole or not at all.
struct TConfigValues {
  std::string ThisServerIPNumber;
  bool ThisServerIPNumberChosen = false;  // not in the file: the machine's choice
  std::int32_t KMXPort = 443;
  std::int32_t SessionTimeOut = 1200000;
  std::int32_t TerminateWaitTime = 5000;
  bool ShutdownAllowed = false;
  std::string CommonName;
  std::string LogFolderPath;
  std::string LoginRequest;
  std::int32_t MemoryBlockCount = 10;
  std::uint32_t MemoryBlockSize = 204800;
  std::uint32_t MemoryAllocPeriod = 20000;
  TUserList Users;
  TTOTPList TOTPUsers;
  std::int32_t MaxFailures = 5;
  std::int32_t FailureWindow = 900;
  std::int32_t BlockSeconds = 60;
  TAcmeServiceSettings Acme;
};

class TConfig {
 public:
  // Starting values until the first Reload: the machine's address (see
  // ChooseLocalIPNumber, or LocalAddress),
  // port 443, time-outs 1200000 and 5000 ms, the log folder "Logs/" in the
  // application folder, login path "Vardex_Login", 10 reserve blocks of
  // 204800 bytes, no top-up period, no shutdown, no common name, no users.
  explicit TConfig(const std::string& ApplicationFolderPath);
  explicit TConfig(const std::string& ApplicationFolderPath, const TLocalIPChoice& LocalAddress);
  TConfig(const TConfig&) = delete;
  TConfig& operator=(const TConfig&) = delete;

  // Reads the configuration file. True when it was found and lists at least
  // one user; Error then still describes any wrong value (whose default was
  // used). On false every field keeps its value and Error says why.
  bool Reload(std::string& Error);

  // The two halves of Reload: Load reads the file into Values and changes
  // nothing (same result and Error as Reload); Apply makes Values the
  // configuration in force.
  bool Load(TConfigValues& Values, std::string& Error) const;
  void Apply(TConfigValues Values);

  // True when the pair belongs to a configured user: the name matches
  // without regard to case (any letter, not only A to Z), the password
  // exactly; an empty name or password never matches. Both are UTF-8, as the
  // file is. Safe to call while another thread reloads.
  bool CheckUser(const std::string& UserName, const std::string& Password) const;

  // True when the user has a [TOTP] entry; Secret then holds its key bytes.
  bool FindTOTPSecret(const std::string& UserName, std::string& Secret) const;

  // The main module reads these directly. Fields other than FLoginRequest and
  // FUserList change only in Reload, which the request handler runs while no
  // other action runs. The login path is read by every request and the user
  // list by every login, at any time, so both are replaced as a whole.
  const std::string FApplicationFolderPath;  // ends in a path separator
  std::string FThisServerIPNumber;           // may be empty: all local addresses
  // Why FThisServerIPNumber is what it is when the file does not say; empty
  // when the file names the address.
  std::string FThisServerIPNumberReason;
  std::int32_t FKMXPort = 443;
  std::int32_t FSessionTimeOut = 1200000;    // ms
  std::int32_t FTerminateWaitTime = 5000;    // ms
  bool FShutdownAllowed = false;
  std::string FCommonName;
  std::string FLogFolderPath;                // as written in the file
  TSnapshot<std::string> FLoginRequest;
  std::int32_t FMemoryBlockCount = 10;
  std::uint32_t FMemoryBlockSize = 204800;   // bytes
  std::uint32_t FMemoryAllocPeriod = 0;      // ms
  TSnapshot<TUserList> FUserList;
  TSnapshot<TTOTPList> FTOTPList;
  // [Security]: failed logins from one address within the window (seconds)
  // that block it, and the first block's length in seconds.
  std::int32_t FMaxFailures = 5;
  std::int32_t FFailureWindow = 900;
  std::int32_t FBlockSeconds = 60;
  // [ACME]: certificates from an ACME server (off without a Directory). A
  // value that cannot be used fails the reading, as a wrong address does.
  TAcmeServiceSettings FAcme;

 private:
  mutable std::mutex FReloadLock;  // two reloads never interleave
};

}  // namespace kelvane
