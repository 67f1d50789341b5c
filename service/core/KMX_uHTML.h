#pragma once

// The three pages the service sends: login, confirmation and error. Each comes
// from a template file in the installation's "Web" folder ("KMX_Login.html",
// "KMX_Confirm.html", "KMX_Error.html"), or from a template built into the
// program when that file is empty. Macros ("$Request", "$ActionTime", ...) are
// replaced one after the other, each on the result of the one before.
//
// Byte form of a page: the pages go out as "text/html; charset=ISO-8859-1", so
// template text is held as ISO-8859-1 bytes. A template character beyond
// ISO-8859-1 (the euro sign of a code page 1252 file, any other Unicode
// character of a UTF-8 or UTF-16 file) is written as an HTML character
// reference ("&#8364;"), which a browser shows correctly whatever the charset.
// Values put in for macros are copied byte for byte, without HTML escaping.
//
// A template file is decoded when it is first needed and whenever its content
// changes; the file is looked at again at most once a second, so an edited
// template shows within a second without a restart, and rendering a page is a
// handful of string replacements. Only the current decoded copy is kept. A
// template larger than 256 KiB is not used: the built-in page is sent in its
// place and the problem is reported.
//
// Thread safety: the page operations run on many connection threads at once.
// The settings may be changed at any time; a page sees either the old or the
// new value of each, never a torn one, and no page operation takes a lock
// except the one thread that re-reads a template file once a second.

#include <atomic>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>

#include "ucTime.h"

namespace kelvane {

// A template file that cannot be read. The message is
// "Cannot open file "<full path>". <system's reason>".
class EFileOpenError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// A template file's bytes as ISO-8859-1 text: UTF-16 little-endian after its
// mark FF FE, UTF-8 after its mark EF BB BF, code page 1252 otherwise.
// Malformed sequences become U+FFFD, written as its character reference.
std::string DecodeTemplate(std::string_view raw);

class THTML {
 public:
  // Templates are read from applicationFolderPath + "Web/".
  explicit THTML(std::string_view applicationFolderPath, Clock clock = SystemClock());
  ~THTML();
  THTML(const THTML&) = delete;
  THTML& operator=(const THTML&) = delete;

  // request is the address the login form posts to. All three throw
  // EFileOpenError when the page's template file cannot be read.
  std::string GetLoginPage(std::string_view request) const;
  std::string GetConfirmPage(std::string_view confirm, std::string_view securityNote) const;
  std::string GetErrorPage(std::string_view error) const;

  const std::string& WebFolderPath() const { return FWebFolderPath; }

  // Told of a template that is not used (too large). Set it before the first
  // page is made; it may be called on any page's thread.
  using TProblemSink = std::function<void(const std::string& problem)>;
  void SetProblemSink(TProblemSink sink) { FProblems = std::move(sink); }

  // Common Name of the server certificate ("$CommonName"); empty until set.
  void SetCommonName(std::string_view commonName);
  std::string CommonName() const;

  // End of validity of the server certificate ("$EvalEnds", as local
  // "dd-mmm-yyyy hh:mm:ss"); "$EvalEnds" is empty until set.
  void SetNotAfter(TimePoint notAfter);
  TimePoint NotAfter() const;

  // The program's file version ("$KMXVer"), for example "4.5.0.8".
  void SetVersion(std::string_view version);
  std::string Version() const;

  // Whether the login page offers the Shutdown button ("$OptionalShutdown").
  void SetShutdownAllowed(bool allowed) { FShutdownAllowed.store(allowed, std::memory_order_release); }
  bool ShutdownAllowed() const { return FShutdownAllowed.load(std::memory_order_acquire); }

 private:
  struct TFacts;
  class TTemplateFile;
  class TFactsStore;

  // The template of a page, as ISO-8859-1 text ready for the macros.
  std::string LoadTemplate(TTemplateFile& file, TimePoint now) const;

  const std::string FWebFolderPath;
  const Clock FClock;
  std::atomic<bool> FShutdownAllowed{false};
  TProblemSink FProblems;
  std::unique_ptr<TFactsStore> FFacts;
  std::unique_ptr<TTemplateFile> FLoginTemplate;
  std::unique_ptr<TTemplateFile> FConfirmTemplate;
  std::unique_ptr<TTemplateFile> FErrorTemplate;
};

}  // namespace kelvane
