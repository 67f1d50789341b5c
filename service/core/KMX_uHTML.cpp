#include "KMX_uHTML.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <mutex>
#include <system_error>
#include <vector>

#include "KMX_uBuiltInPages.h"
#include "ucPaths.h"
#include "ucText.h"

namespace kelvane {
namespace {

// How long a template file is trusted before it is read again.
constexpr std::chrono::seconds TemplateRecheckInterval(1);

// A page is a few kilobytes. A larger template would cost that much for every
// request and could not reach a slow reader within the answer's time limit.
constexpr std::size_t MaxTemplateSize = 256 * 1024;

constexpr std::string_view ShutdownButton =
    "&nbsp;&nbsp; or &nbsp;&nbsp;<input type=\"submit\" name=\"Action\" value=\"Shutdown\"/>";

// ---------------------------------------------------------------------------
// Template decoding. Whatever the file's encoding, the result is ISO-8859-1
// text, with HTML character references for what ISO-8859-1 cannot hold.

// Well-formed UTF-8 (what the shared conversions make) as ISO-8859-1.
std::string Utf8ToLatin1(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size();) {
    char32_t codePoint = 0xFFFD;
    const std::size_t length = DecodeUtf8Sequence(text, i, codePoint);
    if (codePoint <= 0xFF) {
      out += static_cast<char>(codePoint);
    } else {
      out += "&#";
      out += std::to_string(static_cast<unsigned long>(codePoint));
      out += ';';
    }
    i += length == 0 ? 1 : length;
  }
  return out;
}

// ---------------------------------------------------------------------------
// Built-in templates: the shipped ones in Web/, embedded at build time.

const std::string& BuiltInLoginTemplate() {
  static const std::string text(BuiltInPages::Login);
  return text;
}

const std::string& BuiltInConfirmTemplate() {
  static const std::string text(BuiltInPages::Confirm);
  return text;
}

const std::string& BuiltInErrorTemplate() {
  static const std::string text(BuiltInPages::Error);
  return text;
}

// ---------------------------------------------------------------------------

// Replaces every occurrence of macro, scanning left to right; the inserted
// value is not scanned again for the same macro.
void ReplaceAll(std::string& text, std::string_view macro, std::string_view value) {
  size_t pos = text.find(macro);
  if (pos == std::string::npos) return;
  std::string result;
  result.reserve(text.size() + value.size() * 2);
  size_t from = 0;
  while (pos != std::string::npos) {
    result.append(text, from, pos - from);
    result.append(value);
    from = pos + macro.size();
    pos = text.find(macro, from);
  }
  result.append(text, from, std::string::npos);
  text.swap(result);
}

std::string FormatTime(TimePoint when) { return FormatTimeStamp(ToLocalTime(when)); }

std::string SystemErrorText(int error) { return std::error_code(error, std::generic_category()).message(); }

// Reads at most MaxTemplateSize + 1 bytes: one more tells that the file is
// larger than a template may be.
bool ReadTemplateFile(const std::string& path, std::string& content, std::string& error) {
  std::FILE* file = std::fopen(path.c_str(), "rb");
  int failure = file == nullptr ? errno : 0;
  if (file != nullptr) {
    char buffer[16384];
    size_t count = 0;
    content.clear();
    while (content.size() <= MaxTemplateSize && (count = std::fread(buffer, 1, sizeof buffer, file)) > 0) {
      content.append(buffer, std::min(count, MaxTemplateSize + 1 - content.size()));
    }
    // A folder opens but cannot be read: to the administrator it is a file
    // that cannot be opened all the same.
    if (std::ferror(file) != 0) failure = errno != 0 ? errno : EIO;
    std::fclose(file);
  }
  if (failure == 0) return true;
  error = "Cannot open file \"" + path + "\". " + SystemErrorText(failure);
  return false;
}

}  // namespace

std::string DecodeTemplate(std::string_view raw) {
  // A file that holds nothing but the UTF-16 mark is an empty template (as an
  // editor saves an empty "Unicode" file), not two code page 1252 letters.
  if (raw.starts_with(Utf16LEByteOrderMark)) return Utf8ToLatin1(Utf16LEToUtf8(raw.substr(2)));
  if (raw.starts_with("\xEF\xBB\xBF")) return Utf8ToLatin1(Utf8WithReplacements(raw.substr(3)));
  return Utf8ToLatin1(Cp1252ToUtf8(raw));
}

// ---------------------------------------------------------------------------

struct THTML::TFacts {
  std::string CommonName;
  TimePoint NotAfter{};
  std::string NotAfterText;
  std::string Version;
};

// The certificate and version values. Readers take the current snapshot with
// one atomic load; a change publishes a new snapshot. Old snapshots are kept
// until the renderer goes, since a page on another thread may still read one;
// they change only at start-up, so there are a handful at most.
class THTML::TFactsStore {
 public:
  TFactsStore() { Update([](TFacts&) {}); }

  const TFacts& Get() const { return *FCurrent.load(std::memory_order_acquire); }

  template <class Change>
  void Update(Change change) {
    std::lock_guard<std::mutex> guard(FWriteLock);
    const TFacts* current = FCurrent.load(std::memory_order_acquire);
    auto next = std::make_unique<TFacts>(current != nullptr ? *current : TFacts{});
    change(*next);
    FCurrent.store(next.get(), std::memory_order_release);
    FVersions.push_back(std::move(next));
  }

 private:
  std::atomic<const TFacts*> FCurrent{nullptr};
  std::mutex FWriteLock;
  std::vector<std::unique_ptr<const TFacts>> FVersions;
};

// One template file, decoded once per content. The current version is read
// with one atomic load; once a second one thread reads the file again, and
// only a changed content (or a change between readable and not) makes a new
// version, which replaces the old one: a page still being made from the old
// version keeps it alive until it is done.
class THTML::TTemplateFile {
 public:
  struct TVersion {
    bool Readable = false;
    std::string Text;  // the decoded template, or the error message when not readable
  };

  TTemplateFile(std::string path, const std::string& builtIn, const TProblemSink& problems)
      : FPath(std::move(path)), FBuiltIn(builtIn), FProblems(problems) {}

  std::shared_ptr<const TVersion> Current(TimePoint now) {
    const std::int64_t nowTicks = std::chrono::duration_cast<std::chrono::nanoseconds>(now.time_since_epoch()).count();
    std::shared_ptr<const TVersion> current = FCurrent.load(std::memory_order_acquire);
    if (current != nullptr && !RecheckDue(nowTicks)) return current;
    if (current != nullptr) {
      // Whoever holds the lock is reading the file already; the current
      // version serves meanwhile.
      std::unique_lock<std::mutex> lock(FReadLock, std::try_to_lock);
      if (lock.owns_lock() && RecheckDue(nowTicks)) Refresh(nowTicks);
    } else {
      std::lock_guard<std::mutex> lock(FReadLock);
      if (FCurrent.load(std::memory_order_acquire) == nullptr) Refresh(nowTicks);
    }
    return FCurrent.load(std::memory_order_acquire);
  }

 private:
  bool RecheckDue(std::int64_t nowTicks) const {
    const std::int64_t interval = std::chrono::nanoseconds(TemplateRecheckInterval).count();
    const std::int64_t elapsed = nowTicks - FCheckedAt.load(std::memory_order_acquire);
    // A clock set back counts as due, so a template never stays stale for long.
    return elapsed >= interval || elapsed < 0;
  }

  // Runs with FReadLock held.
  void Refresh(std::int64_t nowTicks) {
    const std::string path = ResolvePath(FPath);
    std::string raw;
    std::string error;
    const bool readable = ReadTemplateFile(path, raw, error);
    const bool unchanged = FHaveRead && readable == FLastReadable && (readable ? raw == FLastRaw : error == FLastError);
    if (!unchanged) {
      auto next = std::make_shared<TVersion>();
      next->Readable = readable;
      if (readable && raw.size() > MaxTemplateSize) {
        next->Text = FBuiltIn;
        if (FProblems) {
          FProblems("Template file \"" + path + "\" is larger than " + std::to_string(MaxTemplateSize) +
                    " bytes; the built-in page is sent instead.");
        }
      } else if (readable) {
        next->Text = DecodeTemplate(raw);
        if (next->Text.empty()) next->Text = FBuiltIn;
      } else {
        next->Text = error;
      }
      FCurrent.store(std::move(next), std::memory_order_release);
      FHaveRead = true;
      FLastReadable = readable;
      FLastRaw = readable ? std::move(raw) : std::string();
      FLastError = readable ? std::string() : std::move(error);
    }
    FCheckedAt.store(nowTicks, std::memory_order_release);
  }

  const std::string FPath;
  const std::string& FBuiltIn;
  const TProblemSink& FProblems;
  std::atomic<std::shared_ptr<const TVersion>> FCurrent;
  std::atomic<std::int64_t> FCheckedAt{0};
  std::mutex FReadLock;
  // Guarded by FReadLock.
  bool FHaveRead = false;
  bool FLastReadable = false;
  std::string FLastRaw;
  std::string FLastError;
};

// ---------------------------------------------------------------------------

THTML::THTML(std::string_view applicationFolderPath, Clock clock)
    : FWebFolderPath(IncludeTrailingPathDelimiter(applicationFolderPath) + "Web" + PathDelimiter),
      FClock(std::move(clock)),
      FFacts(std::make_unique<TFactsStore>()),
      FLoginTemplate(
          std::make_unique<TTemplateFile>(FWebFolderPath + "KMX_Login.html", BuiltInLoginTemplate(), FProblems)),
      FConfirmTemplate(
          std::make_unique<TTemplateFile>(FWebFolderPath + "KMX_Confirm.html", BuiltInConfirmTemplate(), FProblems)),
      FErrorTemplate(
          std::make_unique<TTemplateFile>(FWebFolderPath + "KMX_Error.html", BuiltInErrorTemplate(), FProblems)) {}

THTML::~THTML() = default;

std::string THTML::LoadTemplate(TTemplateFile& file, TimePoint now) const {
  const std::shared_ptr<const TTemplateFile::TVersion> version = file.Current(now);
  if (!version->Readable) throw EFileOpenError(version->Text);
  return version->Text;
}

std::string THTML::GetLoginPage(std::string_view request) const {
  const TimePoint now = FClock();
  std::string page = LoadTemplate(*FLoginTemplate, now);
  const TFacts& facts = FFacts->Get();
  ReplaceAll(page, "$Request", request);
  ReplaceAll(page, "$ActionTime", FormatTime(now));
  ReplaceAll(page, "$CommonName", facts.CommonName);
  ReplaceAll(page, "$EvalEnds", facts.NotAfterText);
  ReplaceAll(page, "$OptionalShutdown", ShutdownAllowed() ? ShutdownButton : std::string_view());
  ReplaceAll(page, "$KMXVer", facts.Version);
  return page;
}

std::string THTML::GetConfirmPage(std::string_view confirm, std::string_view securityNote) const {
  const TimePoint now = FClock();
  std::string page = LoadTemplate(*FConfirmTemplate, now);
  const TFacts& facts = FFacts->Get();
  ReplaceAll(page, "$ActionTime", FormatTime(now));
  ReplaceAll(page, "$ActionTaken", confirm);
  ReplaceAll(page, "$SecurityNote", securityNote);
  ReplaceAll(page, "$CommonName", facts.CommonName);
  ReplaceAll(page, "$EvalEnds", facts.NotAfterText);
  ReplaceAll(page, "$KMXVer", facts.Version);
  return page;
}

std::string THTML::GetErrorPage(std::string_view error) const {
  const TimePoint now = FClock();
  std::string page = LoadTemplate(*FErrorTemplate, now);
  const TFacts& facts = FFacts->Get();
  ReplaceAll(page, "$ActionTime", FormatTime(now));
  ReplaceAll(page, "$Error", error);
  ReplaceAll(page, "$CommonName", facts.CommonName);
  ReplaceAll(page, "$EvalEnds", facts.NotAfterText);
  ReplaceAll(page, "$KMXVer", facts.Version);
  return page;
}

void THTML::SetCommonName(std::string_view commonName) {
  FFacts->Update([&](TFacts& facts) { facts.CommonName = commonName; });
}

std::string THTML::CommonName() const { return FFacts->Get().CommonName; }

void THTML::SetNotAfter(TimePoint notAfter) {
  // The text is made here once rather than for every page.
  FFacts->Update([&](TFacts& facts) {
    facts.NotAfter = notAfter;
    facts.NotAfterText = FormatTime(notAfter);
  });
}

TimePoint THTML::NotAfter() const { return FFacts->Get().NotAfter; }

void THTML::SetVersion(std::string_view version) {
  FFacts->Update([&](TFacts& facts) { facts.Version = version; });
}

std::string THTML::Version() const { return FFacts->Get().Version; }

}  // namespace kelvane
