#include "KMX_uSSL.h"

#include <algorithm>
#include <cerrno>
#include <charconv>

#include "ucAsciiText.h"
#include "ucPaths.h"
#include "ucSharedLibrary.h"

namespace kelvane {
namespace {

std::string Quoted(const std::string& path) { return "\"" + path + "\""; }

std::string WithoutBlanks(std::string_view text) {
  std::string result;
  for (char c : text) {
    if (c != ' ') result += c;
  }
  return result;
}

bool ParseNumber(std::string_view text, int& value) {
  if (text.empty()) return false;
  auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  return error == std::errc() && end == text.data() + text.size();
}

// Whether `text` begins with an attribute of a distinguished name, such as
// "emailAddress = " or "OU=".
bool StartsWithAttribute(std::string_view text) {
  size_t i = 0;
  while (i < text.size() && (std::isalnum(static_cast<unsigned char>(text[i])) || text[i] == '.')) ++i;
  if (i == 0) return false;
  while (i < text.size() && text[i] == ' ') ++i;
  return i < text.size() && text[i] == '=';
}

}  // namespace

TCertificateChecks::TCertificateChecks(TErrorWriter writeError, std::chrono::milliseconds timeOut)
    : FWriteError(std::move(writeError)), FTimeOut(timeOut) {}

bool TCertificateChecks::CheckOpenSSLFolder(std::string_view folder) {
  FOpenSSLFolder = IncludeTrailingPathDelimiter(folder);
  if (!FileExists(FOpenSSLFolder + OpenSSLProgram)) return false;
  return std::all_of(std::begin(OpenSSLLibraries), std::end(OpenSSLLibraries),
                     [](const char* library) { return !FindSharedLibrary(library).empty(); });
}

std::string TCertificateChecks::FullPath(std::string_view relativeName) const {
  return ResolvePath(FOpenSSLFolder + std::string(relativeName));
}

TProcessStatus TCertificateChecks::RunOpenSSL(const char* check, const std::string& arguments, std::string& output,
                                              bool logErrorCode) {
  std::int32_t errorCode = ETIMEDOUT;
  TProcessStatus status;
  status.End = TProcessEnd::TimedOut;
  output.clear();
  // A program that hung once hangs again. Waiting out the time-out for every
  // later check would keep a start going for minutes, past the time the
  // service manager gives it, before the failure could be told.
  if (!FTimedOut) {
    status = RunConsoleCommand(ResolvePath(FOpenSSLFolder + OpenSSLProgram) + " " + arguments, errorCode, output,
                               FTimeOut);
    FTimedOut = errorCode == ETIMEDOUT;
  }
  if (errorCode != 0 && logErrorCode) FWriteError(std::string(check) + " ErrorCode=" + std::to_string(errorCode));
  return status;
}

bool TCertificateChecks::CheckCert(std::string_view certFile) {
  const std::string path = FullPath(certFile);
  if (!FileExists(path)) return false;
  std::string output;
  const TProcessStatus status = RunOpenSSL("CheckCert", "x509 -in " + Quoted(path) + " -noout -subject", output, true);
  // openssl 3 writes "Unable to load certificate"; older builds wrote it in
  // lower case. The exit status settles what the phrase may miss.
  return status.Succeeded() && !output.empty() && !ContainsIgnoringAsciiCase(output, "unable to load certificate");
}

bool TCertificateChecks::CheckKey(std::string_view keyFile, std::string_view passphrase) {
  const std::string path = FullPath(keyFile);
  if (!FileExists(path)) return false;
  std::string output;
  const TProcessStatus status = RunOpenSSL(
      "CheckKey", "rsa -in " + Quoted(path) + " -noout -passin pass:" + std::string(passphrase), output, true);
  // openssl 3 prints nothing when the key opens, so the exit status decides;
  // the phrases catch a build that fails but still exits with 0.
  return status.Succeeded() && !ContainsIgnoringAsciiCase(output, "unable to load key") &&
         !ContainsIgnoringAsciiCase(output, "could not read private key");
}

bool TCertificateChecks::GetCertValues(std::string_view certFile, TimePoint& notBefore, TimePoint& notAfter,
                                       std::string& commonName) {
  const std::string path = FullPath(certFile);
  if (!FileExists(path)) return false;
  std::string output;
  const TProcessStatus status = RunOpenSSL("GetCertValues", "x509 -in " + Quoted(path) + " -noout -text", output, true);
  if (!status.Succeeded() || output.empty() || ContainsIgnoringAsciiCase(output, "unable to load certificate")) {
    return false;
  }
  if (!ExtractCommonName(output, commonName)) return false;
  return ReadCertDate(output, "Not Before:", notBefore) && ReadCertDate(output, "Not After :", notAfter);
}

bool TCertificateChecks::CheckSignRootServer(std::string_view rootFile, std::string_view serverFile) {
  const std::string program = FullPath(OpenSSLProgram);
  const std::string root = FullPath(rootFile);
  const std::string server = FullPath(serverFile);
  for (const std::string& path : {program, root, server}) {
    if (!FileExists(path)) {
      FWriteError("CheckSignRootServer: File not found: " + path);
      return false;
    }
  }
  std::string output;
  const TProcessStatus status =
      RunOpenSSL("CheckSignRootServer", "verify -CAfile " + Quoted(root) + " " + Quoted(server), output, false);
  return status.Succeeded() && !output.empty() && output.find("unable to get local issuer certificate") == std::string::npos;
}

bool ExtractCommonName(std::string_view output, std::string& commonName) {
  const size_t subject = output.find("Subject:");
  if (subject == std::string_view::npos) return false;
  std::string_view line = output.substr(subject + 1);
  line = line.substr(0, std::min(line.find_first_of("\r\n"), line.size()));
  commonName.clear();
  size_t start = std::string_view::npos;
  size_t labelAt = std::string_view::npos;
  for (std::string_view label : {"CN=", "CN = "}) {
    const size_t at = line.find(label);
    if (at < labelAt) {
      labelAt = at;
      start = at + label.size();
    }
  }
  if (start == std::string_view::npos) return true;
  std::string_view name = line.substr(start);
  // The old one-line form joins the e-mail attribute with "/"; the form of
  // openssl 3 separates attributes by ", " (a comma inside a value is escaped).
  size_t end = name.find('/');
  for (size_t comma = name.find(", "); comma != std::string_view::npos; comma = name.find(", ", comma + 1)) {
    if (comma < end && (comma == 0 || name[comma - 1] != '\\') && StartsWithAttribute(name.substr(comma + 2))) {
      end = comma;
      break;
    }
  }
  commonName = std::string(name.substr(0, std::min(end, name.size())));
  return true;
}

bool ReadCertDate(std::string_view output, std::string_view label, TimePoint& date) {
  const size_t at = output.find(label);
  if (at == std::string_view::npos) return false;
  std::string_view text = output.substr(std::min(at + label.size() + 1, output.size()));
  text = text.substr(0, std::min(text.find(" GMT"), text.size()));
  const std::string shown(text.substr(0, std::min(text.find_first_of("\r\n"), text.size())));
  static constexpr std::string_view months[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                                "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  const auto month = std::find(std::begin(months), std::end(months), text.substr(0, 3));
  int day = 0, hour = 0, minute = 0, second = 0, year = 0;
  const bool ok = text.size() >= 15 && month != std::end(months) &&
                  ParseNumber(WithoutBlanks(text.substr(3, 4)), day) && text[9] == ':' && text[12] == ':' &&
                  ParseNumber(text.substr(7, 2), hour) && ParseNumber(text.substr(10, 2), minute) &&
                  ParseNumber(text.substr(13, 2), second) && ParseNumber(TrimBlanks(text.substr(15)), year) &&
                  TryEncodeUtc(year, static_cast<int>(month - std::begin(months)) + 1, day, hour, minute, second, date);
  if (!ok) throw ECertDateError("'" + shown + "' is not a valid date and time");
  return true;
}

}  // namespace kelvane
