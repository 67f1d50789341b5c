#pragma once

// The service's two daily logs: the history of actions users carried out and
// the error log of refusals, failures and warnings. Each line is
// "dd-mmm-yyyy hh:mm:ss", a tab, the text and CR LF; a new file begins at local
// midnight. Writing never fails visibly: a line that cannot be written is lost.

#include <functional>
#include <mutex>
#include <string>
#include <string_view>

#include "ucTime.h"

namespace kelvane {

// Makes text typed by a remote user safe to put into one log line: CR, LF and
// tab become "\r", "\n" and "\t", every other byte below 0x20 and DEL become
// "\xNN". All other bytes pass unchanged, so 8-bit names stay readable.
std::string EscapeControlCharacters(std::string_view text);

enum class TLogKind { History, Error };

class TLog {
 public:
  // The log folder stays unset until the first UpdatePath.
  explicit TLog(std::string_view applicationFolderPath, Clock clock = SystemClock());
  TLog(const TLog&) = delete;
  TLog& operator=(const TLog&) = delete;

  // Sets the log folder from the configured value: a value with a colon is
  // taken as it is, so is an absolute path; a value beginning with "\" hangs
  // below the drive of the application folder; any other value below the
  // application folder. An empty value keeps the folder, or picks the
  // application folder's "Logs" folder when none was set before.
  void UpdatePath(std::string_view logFolderPath);

  // Appends "<user>\tat ip <address>\t<action>" to today's history file.
  void WriteHistory(std::string_view userName, std::string_view remoteIp, std::string_view action);

  // Appends the message to today's error file. A CR or LF inside the message
  // is written as "\r" or "\n" so that one message is always one line.
  void WriteError(std::string_view error);

  // Also hands every error message to `observer` (none: stops), whether or not
  // it could be written; called under the log's lock, so it must be quick and
  // must not write to this log.
  using TErrorObserver = std::function<void(std::string_view error)>;
  void SetErrorObserver(TErrorObserver observer);

  // When the user last acted, from the newest history line that names the
  // user (ignoring ASCII case): "Prior usage was on <time stamp>." or
  // "It was the first usage by <user>". Call it before writing the history
  // line of the current action.
  std::string GetSecurityNote(std::string_view userName);

  // The log folder, ending in a separator; empty before the first UpdatePath.
  std::string LogFolderPath() const;

  // One day's error log stops growing at this size (default 10 MB): the line
  // that would pass it is replaced by one saying so, and the day's further
  // lines are dropped. The history log has no cap.
  void SetErrorLogLimit(std::size_t bytes);

 private:
  // Both expect FLock to be held.
  std::string GetLogFolder(TLogKind kind) const;
  static std::string GetLogFileName(TLogKind kind, const LocalTime& now);

  void WriteLine(TLogKind kind, std::string_view text);
  std::string FindLastUsage(const std::string& fileName, std::string_view userName);

  const std::string FApplicationFolderPath;
  const Clock FClock;
  // Serialises every open-append-close and guards FLogFolderPath, which a
  // configuration reload may change while other threads write lines.
  mutable std::mutex FLock;
  std::string FLogFolderPath;
  std::size_t FErrorLogLimit = 10 * 1024 * 1024;
  // The error log file that reached its limit; its lines are dropped.
  std::string FFullErrorLog;
  TErrorObserver FErrorObserver;
};

}  // namespace kelvane
