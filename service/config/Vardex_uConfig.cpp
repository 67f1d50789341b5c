#include "Vardex_uConfig.h"

#include <algorithm>
#include <chrono>
#include <limits>
#include <thread>

#include "KMX_uPasswordHash.h"
#include "KMX_uTOTP.h"
#include "ucFileContent.h"
#include "ucIniFile.h"
#include "KMX_uMemoryStock.h"
#include "ucIpConfig.h"
#include "ucPaths.h"
#include "ucText.h"

namespace kelvane {
namespace {

constexpr const char* ConfigFileName = "Vardex.cfg";
constexpr const char* ConfigurationSection = "Configuration";
constexpr const char* UserListSection = "UserList";
constexpr const char* SecuritySection = "Security";
constexpr const char* TOTPSection = "TOTP";

// Larger than any real configuration file by far; a bigger file is refused
// rather than read into memory.
constexpr std::size_t MaxConfigFileSize = 16 * 1024 * 1024;

// The shortest session time-out taken, in milliseconds.
constexpr std::int32_t MinSessionTimeOut = 1000;

// An editor or a script that saves in place empties the file and writes it
// anew, often in several writes. A reload in between would take the part
// written so far for the whole file: a user list cut short locks users out,
// a password cut short lets its prefix in. So a file changed within the quiet
// time is read only once it has been left alone that long, and read again
// when it changed while it was read. A file that is still changing at the
// limit is not read at all.
constexpr std::chrono::milliseconds ConfigQuietTime{250};
constexpr std::chrono::milliseconds ConfigSettleLimit{3000};

bool ReadSettledFile(const std::string& path, std::string& text, std::string& reason) {
  const auto giveUp = std::chrono::steady_clock::now() + ConfigSettleLimit;
  for (;;) {
    std::chrono::system_clock::time_point before;
    if (!FileModifiedTime(path, before, reason)) return false;
    const auto age = std::chrono::system_clock::now() - before;
    // A time in the future (a clock set back) tells nothing about writers.
    const bool quiet = age >= ConfigQuietTime || age < std::chrono::system_clock::duration::zero();
    if (quiet) {
      if (!ReadFileContent(path, MaxConfigFileSize, text, reason)) return false;
      std::chrono::system_clock::time_point after;
      if (!FileModifiedTime(path, after, reason)) return false;
      if (after == before) return true;
    }
    const auto now = std::chrono::steady_clock::now();
    if (now >= giveUp) {
      reason = "it is still being written";
      return false;
    }
    const auto pause = quiet ? ConfigQuietTime : ConfigQuietTime - age;
    std::this_thread::sleep_for(std::min<std::chrono::steady_clock::duration>(pause, giveUp - now));
  }
}

// The file as UTF-8 text: the configuration tool writes UTF-8, an editor may
// have saved it as UTF-16 (with its mark) or in a Western 8-bit code page.
std::string DecodeConfigurationText(std::string_view raw) {
  if (raw.starts_with(Utf16LEByteOrderMark)) return Utf16LEToUtf8(raw.substr(2));
  if (raw.starts_with("\xFE\xFF")) {
    std::string swapped(raw.substr(2));
    for (size_t i = 0; i + 1 < swapped.size(); i += 2) std::swap(swapped[i], swapped[i + 1]);
    return Utf16LEToUtf8(swapped);
  }
  return AsUtf8(raw);
}

// One part of a dotted address: what the listener's address parser accepts,
// one to three decimal digits from 0 to 255 without a leading zero.
bool IsAddressPart(std::string_view part) {
  if (part.empty() || part.size() > 3) return false;
  if (!std::all_of(part.begin(), part.end(), [](char c) { return c >= '0' && c <= '9'; })) return false;
  if (part.size() > 1 && part.front() == '0') return false;
  return std::stoi(std::string(part)) <= 255;
}

// The text is split at its first three dots into four parts; with fewer dots
// the missing parts are empty and fail, with more the last part holds a dot
// and fails.
bool IsValidAddress(std::string_view address) {
  for (int part = 0; part < 3; ++part) {
    const size_t dot = address.find('.');
    if (dot == std::string_view::npos || !IsAddressPart(address.substr(0, dot))) return false;
    address.remove_prefix(dot + 1);
  }
  return IsAddressPart(address);
}


class TValueReader {
 public:
  explicit TValueReader(const TIniReader& ini) : FIni(ini) {}

  std::string Text(const char* key, std::string_view fallback) const {
    return FIni.ReadString(ConfigurationSection, key, fallback);
  }

  // No value can hold a line break, so it tells a missing key from any value.
  bool Has(const char* key) const { return Text(key, "\n") != "\n"; }

  // A negative number would wrap round to a huge unsigned one.
  void Unsigned(const char* key, std::uint32_t& value) {
    std::int32_t parsed = 0;
    const std::string text = Text(key, "");
    if (text.empty()) return;
    if (TryParseWholeNumber(text, parsed) && parsed >= 0) value = static_cast<std::uint32_t>(parsed);
    else Report(key);
  }

  // A whole number from minimum to maximum; any other is reported and the
  // default kept. An empty or absent value keeps the default without a word.
  void Signed(const char* key, std::int32_t& value, std::int32_t minimum = std::numeric_limits<std::int32_t>::min(),
              std::int32_t maximum = std::numeric_limits<std::int32_t>::max()) {
    std::int32_t parsed = 0;
    const std::string text = Text(key, "");
    if (text.empty()) return;
    if (TryParseWholeNumber(text, parsed) && parsed >= minimum && parsed <= maximum) value = parsed;
    else Report(key);
  }

  // A whole number from `minimum` to `maximum` in another section.
  void Bounded(const char* section, const char* key, std::int32_t minimum, std::int32_t maximum,
               std::int32_t& value) {
    const std::string text = FIni.ReadString(section, key, "");
    if (text.empty()) return;
    std::int32_t parsed = 0;
    if (TryParseWholeNumber(text, parsed) && parsed >= minimum && parsed <= maximum) value = parsed;
    else Report(key);
  }

  void Report(std::string_view key, std::string_view detail = {}) {
    FProblems += " Wrong parameter '" + std::string(key) + "'" + std::string(detail) + ".";
  }
  void ReportNoUsers() { FProblems += " No registered users are listed."; }
  const std::string& Problems() const { return FProblems; }

 private:
  const TIniReader& FIni;
  std::string FProblems;
};

}  // namespace

TConfig::TConfig(const std::string& ApplicationFolderPath) : TConfig(ApplicationFolderPath, ChooseLocalIPNumber()) {}

TConfig::TConfig(const std::string& ApplicationFolderPath, const TLocalIPChoice& LocalAddress)
    : FApplicationFolderPath(IncludeTrailingPathDelimiter(ApplicationFolderPath)),
      FThisServerIPNumber(LocalAddress.Address),
      FThisServerIPNumberReason(LocalAddress.Reason),
      FLogFolderPath(FApplicationFolderPath + "Logs" + PathDelimiter),
      FLoginRequest(std::string("Vardex_Login")) {}

bool TConfig::Reload(std::string& Error) {
  std::lock_guard<std::mutex> guard(FReloadLock);
  TConfigValues values;
  if (!Load(values, Error)) return false;
  Apply(std::move(values));
  return true;
}

bool TConfig::Load(TConfigValues& Values, std::string& Error) const {
  Error.clear();
  const std::string path = FApplicationFolderPath + ConfigFileName;
  if (!FileExists(path)) {
    Error = "Configuration file '" + path + "' was not found.";
    return false;
  }
  std::string raw;
  std::string reason;
  if (!ReadSettledFile(path, raw, reason)) {
    Error = "Configuration file '" + path + "' could not be read (" + reason + ").";
    return false;
  }
  const TIniReader ini(DecodeConfigurationText(raw));
  TValueReader read(ini);
  TConfigValues values;

  values.CommonName = read.Text("CommonName", "");
  values.ThisServerIPNumber = read.Text("ThisServerIPNumber", FThisServerIPNumber);
  values.ThisServerIPNumberChosen = !read.Has("ThisServerIPNumber") && !FThisServerIPNumberReason.empty();
  // A mistyped address must not open the service on every interface: it
  // fails the reading, so the address in force stays (or the start stops).
  const bool addressValid = values.ThisServerIPNumber.empty() || IsValidAddress(values.ThisServerIPNumber);
  if (!addressValid) read.Report("ThisServerIPNumber", ": '" + values.ThisServerIPNumber + "' is not an IPv4 address");
  // A value outside 1..65535 would be cut to some other port when bound.
  read.Signed("VardexPort", values.KMXPort, 1, 65535);
  // A connection must live long enough for its handshake and its answer; a
  // time-out of 0 or less would close every connection unanswered.
  read.Signed("SessionTimeOut", values.SessionTimeOut, MinSessionTimeOut);
  read.Signed("TerminateWaitTime", values.TerminateWaitTime, 0);
  values.LogFolderPath = read.Text("LogFolderPath", FApplicationFolderPath + "Logs" + PathDelimiter);
  values.LoginRequest = read.Text("LoginRequest", "Vardex_Login");
  read.Signed("MemoryBlockCount", values.MemoryBlockCount);
  read.Unsigned("MemoryBlockSize", values.MemoryBlockSize);
  read.Unsigned("MemoryAllocPeriod", values.MemoryAllocPeriod);
  // A reserve larger than its bound could never be filled.
  const std::uint64_t blocks = std::clamp(values.MemoryBlockCount, std::int32_t{0}, TMemoryStock::MaxBlockCount);
  if (blocks * values.MemoryBlockSize > TMemoryStock::MaxStockBytes) {
    read.Report("MemoryBlockSize", ": the reserve may hold at most " + std::to_string(TMemoryStock::MaxStockBytes) +
                                       " bytes");
    values.MemoryBlockSize = TConfigValues().MemoryBlockSize;
  }

  // Comment lines, lines without "=" and entries without a name are no users.
  for (const TIniEntry& entry : ini.ReadSectionValues(UserListSection)) {
    values.Users.push_back(FoldCase(entry.Key) + "=" + entry.Value);
  }
  if (values.Users.empty()) read.ReportNoUsers();
  for (const TIniEntry& entry : ini.ReadSectionValues(TOTPSection)) {
    std::string secret;
    if (!DecodeBase32(entry.Value, secret)) {
      read.Report(std::string(TOTPSection) + " " + entry.Key);
      secret.clear();
    }
    values.TOTPUsers.emplace_back(FoldCase(entry.Key), std::move(secret));
  }
  read.Bounded(SecuritySection, "MaxFailures", 1, 1000, values.MaxFailures);
  read.Bounded(SecuritySection, "FailureWindow", 1, 86400, values.FailureWindow);
  read.Bounded(SecuritySection, "BlockSeconds", 1, 3600, values.BlockSeconds);
  values.ShutdownAllowed = read.Text("AllowShutdown", "False") == "True";
  std::string acmeProblem;
  const bool acmeValid = ReadAcmeSettings(ini, FApplicationFolderPath, values.Acme, acmeProblem);
  if (!acmeValid) {
    // "[ACME] Entry: why" names the entry before its colon.
    const size_t colon = std::min(acmeProblem.find(':'), acmeProblem.size());
    read.Report(acmeProblem.substr(0, colon), acmeProblem.substr(colon));
  }

  if (!read.Problems().empty()) Error = "Error(s) in configuration file '" + path + "'." + read.Problems();
  if (values.Users.empty() || !addressValid || !acmeValid) return false;
  Values = std::move(values);
  return true;
}

void TConfig::Apply(TConfigValues values) {
  if (!values.ThisServerIPNumberChosen) FThisServerIPNumberReason.clear();
  FThisServerIPNumber = std::move(values.ThisServerIPNumber);
  FKMXPort = values.KMXPort;
  FSessionTimeOut = values.SessionTimeOut;
  FTerminateWaitTime = values.TerminateWaitTime;
  FShutdownAllowed = values.ShutdownAllowed;
  FCommonName = std::move(values.CommonName);
  FLogFolderPath = std::move(values.LogFolderPath);
  FLoginRequest.Store(std::move(values.LoginRequest));
  FMemoryBlockCount = values.MemoryBlockCount;
  FMemoryBlockSize = values.MemoryBlockSize;
  FMemoryAllocPeriod = values.MemoryAllocPeriod;
  FUserList.Store(std::move(values.Users));
  FTOTPList.Store(std::move(values.TOTPUsers));
  FMaxFailures = values.MaxFailures;
  FFailureWindow = values.FailureWindow;
  FBlockSeconds = values.BlockSeconds;
  FAcme = std::move(values.Acme);
}

bool TConfig::CheckUser(const std::string& UserName, const std::string& Password) const {
  if (UserName.empty() || Password.empty()) return false;
  const std::shared_ptr<const TUserList> users = FUserList.Load();
  const std::string name = FoldCase(UserName);
  for (const std::string& user : *users) {
    const size_t separator = user.find('=');
    if (std::string_view(user).substr(0, separator) == name) {
      return CheckPassword(std::string_view(user).substr(separator + 1), Password);
    }
  }
  // An unknown name costs about as much as a wrong password.
  const bool anyHash = std::any_of(users->begin(), users->end(), [](const std::string& user) {
    return IsPasswordHash(std::string_view(user).substr(user.find('=') + 1));
  });
  if (anyHash) SpendPasswordCheckTime(Password);
  else (void)ConstantTimeEquals(Password, Password);
  return false;
}

bool TConfig::FindTOTPSecret(const std::string& UserName, std::string& Secret) const {
  const std::shared_ptr<const TTOTPList> users = FTOTPList.Load();
  const std::string folded = FoldCase(UserName);
  for (const auto& [name, secret] : *users) {
    if (name == folded) {
      Secret = secret;
      return true;
    }
  }
  return false;
}

}  // namespace kelvane
