// Faults a service on a real server meets, tried on the real vardex program in
// a test installation folder with the dry-run power backend, over TLS on
// loopback: a log folder that cannot be written or a full disk while requests
// arrive, a configuration file caught half-written by a reload, a missing,
// hanging or babbling openssl program at start, and a kill or a stop in the
// middle of a burst of requests.

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sched.h>
#include <sys/mount.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <functional>
#include <map>
#include <mutex>
#include <random>
#include <regex>
#include <thread>

#include "ChildProcess.h"
#include "TestHttpsClient.h"
#include "TestServiceFolder.h"

namespace kelvane {
namespace {

using namespace std::chrono_literals;
using testing::FreeLoopbackPort;
using testing::HttpsExchange;
using testing::MakeRequest;
using testing::ReadFile;
using testing::TChildProcess;
using testing::TestConfiguration;
using testing::THttpsReply;
using testing::TNotifySocket;
using testing::TRawConnection;
using testing::TTestServiceFolder;
using testing::WaitUntil;

// ---------------------------------------------------------------------------
// What the service answered, told apart by the texts of its pages.

enum class TAnswer {
  NoAnswer,
  LoginPage,
  NotAuthorized,
  Busy,
  Reloaded,
  ReloadFailed,
  RebootInitiated,
  ShutdownRefused,
  Other
};

TAnswer Classify(const THttpsReply& reply) {
  if (!reply.Error.empty() || reply.Status != 200) return TAnswer::NoAnswer;
  const std::string& body = reply.Body;
  const auto has = [&](const char* text) { return body.find(text) != std::string::npos; };
  if (has("name=\"UserName\"")) return TAnswer::LoginPage;
  if (has("You are not authorized.")) return TAnswer::NotAuthorized;
  if (has("Server is busy. Try to login later.")) return TAnswer::Busy;
  if (has("Server configuration reloaded.")) return TAnswer::Reloaded;
  if (has("Failed to reload configuration file.")) return TAnswer::ReloadFailed;
  if (has("Server reboot initiated.")) return TAnswer::RebootInitiated;
  if (has("Failed to shutdown the server.")) return TAnswer::ShutdownRefused;
  return TAnswer::Other;
}

const char* AnswerName(TAnswer answer) {
  switch (answer) {
    case TAnswer::NoAnswer: return "no answer";
    case TAnswer::LoginPage: return "login page";
    case TAnswer::NotAuthorized: return "not authorized";
    case TAnswer::Busy: return "busy";
    case TAnswer::Reloaded: return "reloaded";
    case TAnswer::ReloadFailed: return "reload failed";
    case TAnswer::RebootInitiated: return "reboot initiated";
    case TAnswer::ShutdownRefused: return "shutdown refused";
    case TAnswer::Other: return "other";
  }
  return "?";
}

// A form submission; the names and passwords used here need no escaping
// beyond the blank of "Reload Configuration".
std::string Submission(const std::string& user, const std::string& password, std::string action) {
  for (char& c : action) {
    if (c == ' ') c = '+';
  }
  return MakeRequest("POST", "/Result_Vardex_Login", "UserName=" + user + "&Password=" + password + "&Action=" + action);
}

// Runs `body(client)` on `clients` threads at once and waits for all of them.
void RunClients(int clients, const std::function<void(int)>& body) {
  std::vector<std::thread> threads;
  for (int client = 0; client < clients; ++client) threads.emplace_back(body, client);
  for (std::thread& thread : threads) thread.join();
}

// Counts answers from many threads.
class TAnswerCount {
 public:
  void Add(TAnswer answer) {
    std::lock_guard<std::mutex> guard(FLock);
    ++FCounts[answer];
  }
  int operator[](TAnswer answer) const {
    std::lock_guard<std::mutex> guard(FLock);
    const auto found = FCounts.find(answer);
    return found == FCounts.end() ? 0 : found->second;
  }
  std::string Text() const {
    std::lock_guard<std::mutex> guard(FLock);
    std::string text;
    for (const auto& [answer, count] : FCounts) text += std::string(AnswerName(answer)) + "=" + std::to_string(count) + " ";
    return text;
  }

 private:
  mutable std::mutex FLock;
  std::map<TAnswer, int> FCounts;
};

// ---------------------------------------------------------------------------
// Log lines: "dd-Mmm-yyyy hh:mm:ss", a tab, one of the texts the test
// expects, CR LF. A line cut short by a failed or interrupted write, or a line
// glued to the rest of another one, does not match.

::testing::AssertionResult AllLinesWhole(const std::string& log, const std::string& textPattern) {
  static const std::string stamp = "\\d{2}-(Jan|Feb|Mar|Apr|May|Jun|Jul|Aug|Sep|Oct|Nov|Dec)-\\d{4} \\d{2}:\\d{2}:\\d{2}\\t";
  const std::regex line(stamp + "(" + textPattern + ")");
  std::size_t start = 0;
  int count = 0;
  while (start < log.size()) {
    const std::size_t end = log.find("\r\n", start);
    if (end == std::string::npos) {
      return ::testing::AssertionFailure() << "the log ends in a cut-off line: \"" << log.substr(start) << "\"";
    }
    const std::string text = log.substr(start, end - start);
    if (!std::regex_match(text, line)) {
      return ::testing::AssertionFailure() << "line " << count + 1 << " is broken: \"" << text << "\"";
    }
    ++count;
    start = end + 2;
  }
  return ::testing::AssertionSuccess() << count << " whole lines";
}

int LineCount(const std::string& log) {
  int count = 0;
  for (std::size_t at = log.find("\r\n"); at != std::string::npos; at = log.find("\r\n", at + 2)) ++count;
  return count;
}

// ---------------------------------------------------------------------------
// File systems of the test's own. The test process first moves into a mount
// namespace of its own (from the main thread, which also starts the service
// and reads its files), so nothing mounted here is seen outside and every
// mount vanishes with the process, even when a test fails half way.

bool EnterOwnMountNamespace(std::string& why) {
  if (::unshare(CLONE_NEWNS) != 0) {
    why = std::string("unshare(CLONE_NEWNS): ") + std::strerror(errno);
    return false;
  }
  if (::mount("none", "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
    why = std::string("mount --make-rprivate /: ") + std::strerror(errno);
    return false;
  }
  return true;
}

class TMount {
 public:
  explicit TMount(std::string path) : FPath(std::move(path)) {}
  ~TMount() {
    if (FMounted) ::umount2(FPath.c_str(), MNT_DETACH);
  }
  TMount(const TMount&) = delete;
  TMount& operator=(const TMount&) = delete;

  bool Tmpfs(std::size_t bytes, std::string& why) {
    const std::string options = "size=" + std::to_string(bytes) + ",mode=0755";
    return Check(::mount("tmpfs", FPath.c_str(), "tmpfs", 0, options.c_str()), "mount -t tmpfs", why);
  }
  // The folder mounted on itself, so that it can later be made read-only.
  bool Bind(std::string& why) {
    return Check(::mount(FPath.c_str(), FPath.c_str(), nullptr, MS_BIND, nullptr), "mount --bind", why);
  }
  bool SetReadOnly(bool readOnly) {
    const unsigned long flags = MS_REMOUNT | MS_BIND | (readOnly ? MS_RDONLY : 0);
    return ::mount(nullptr, FPath.c_str(), nullptr, flags, nullptr) == 0;
  }

 private:
  bool Check(int result, const char* what, std::string& why) {
    FMounted = result == 0;
    if (!FMounted) why = std::string(what) + " " + FPath + ": " + std::strerror(errno);
    return FMounted;
  }

  std::string FPath;
  bool FMounted = false;
};

// Fills the file system of `file` with it until not one byte more fits.
void FillFileSystem(const std::string& file) {
  const int fd = ::open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  ASSERT_GE(fd, 0) << std::strerror(errno);
  const std::string block(65536, 'x');
  while (::write(fd, block.data(), block.size()) > 0) {
  }
  while (::write(fd, "x", 1) > 0) {
  }
  const int error = errno;
  ::close(fd);
  ASSERT_EQ(error, ENOSPC);
}

// ---------------------------------------------------------------------------

class VardexFaults : public ::testing::Test {
 protected:
  void SetUp() override {
    Port = FreeLoopbackPort();
    WriteConfiguration("TerminateWaitTime=3000\r\n");
    std::filesystem::copy_file(VARDEX_PROGRAM_PATH, Folder.Path() + "vardex");
  }

  void WriteConfiguration(std::string_view extra, std::string_view users = "admin=secret\r\n") {
    std::string text = TestConfiguration(Port, extra);
    // The standard configuration ends with its one user; the tests that need
    // other users name them.
    text.resize(text.size() - std::string_view("admin=secret\r\n").size());
    Folder.WriteConfiguration(text + std::string(users));
  }

  std::unique_ptr<TChildProcess> StartProcess() {
    return std::make_unique<TChildProcess>(Folder.Path() + "vardex",
                                           std::vector<std::string>{"/SERVICE", "/DRYRUN=" + RecordFile()},
                                           std::vector<std::string>{"NOTIFY_SOCKET=" + Notify.Path()}, Folder.Path());
  }

  // Starts the service and waits until it reports that it serves.
  std::unique_ptr<TChildProcess> StartService() {
    auto service = StartProcess();
    const auto deadline = std::chrono::steady_clock::now() + 60s;
    while (std::chrono::steady_clock::now() < deadline) {
      if (Notify.Receive(200ms).find("READY=1") != std::string::npos) return service;
      if (!service->Running()) break;
    }
    ADD_FAILURE() << "vardex did not start: " << service->Stderr() << "\n" << Folder.ErrorLog();
    return service;
  }

  THttpsReply Send(const std::string& request) { return HttpsExchange(Port, request); }
  TAnswer Ask(const std::string& request) { return Classify(Send(request)); }

  std::string RecordFile() const { return Folder.Path() + "power.record"; }
  std::string LogsFolder() const { return Folder.Path() + "Logs"; }

  TTestServiceFolder Folder;
  TNotifySocket Notify{Folder.Path() + "notify.sock"};
  std::uint16_t Port = 0;
};

// ---------------------------------------------------------------------------
// The log folder breaks while requests arrive.

enum class TLogFault { ReadOnlyFileSystem, FolderReplacedByFile, DiskFull };

std::string LogFaultName(const ::testing::TestParamInfo<TLogFault>& info) {
  switch (info.param) {
    case TLogFault::ReadOnlyFileSystem: return "ReadOnlyFileSystem";
    case TLogFault::FolderReplacedByFile: return "FolderReplacedByFile";
    case TLogFault::DiskFull: return "DiskFull";
  }
  return "Unknown";
}

// Test names in ctest show the case, not its bytes.
void PrintTo(TLogFault fault, std::ostream* out) { *out << LogFaultName({fault, 0}); }

class VardexLogFaults : public VardexFaults, public ::testing::WithParamInterface<TLogFault> {};

// The texts this test makes the service log.
const std::string LogFaultLines =
    "User '[a-z0-9-]+' at ip 127\\.0\\.0\\.1 was not authorized\\.|"
    "admin\\tat ip 127\\.0\\.0\\.1\\t(Reload Configuration|Reboot)|"
    "User 'admin' was not accepted\\. Server is busy\\.";

TEST_P(VardexLogFaults, PagesAndActionsKeepWorkingAndTheLogRecovers) {
  const TLogFault fault = GetParam();
  std::filesystem::create_directory(LogsFolder());
  std::unique_ptr<TMount> mount;
  if (fault != TLogFault::FolderReplacedByFile) {
    std::string why;
    if (!EnterOwnMountNamespace(why)) GTEST_SKIP() << "no mount namespace of our own here: " << why;
    mount = std::make_unique<TMount>(LogsFolder());
    // 256 KiB hold the test's lines many times over; the disk fills because
    // the test fills it.
    const bool mounted = fault == TLogFault::DiskFull ? mount->Tmpfs(256 * 1024, why) : mount->Bind(why);
    if (!mounted) GTEST_SKIP() << "cannot mount here: " << why;
  }

  auto service = StartService();
  ASSERT_TRUE(service->Running());
  // Before the fault: the error and history folders and files exist, partly
  // filled, as on a server that has run for a while.
  EXPECT_EQ(Ask(Submission("before", "wrong", "Reboot")), TAnswer::NotAuthorized);
  EXPECT_EQ(Ask(Submission("admin", "secret", "Reload Configuration")), TAnswer::Reloaded);
  const int linesBefore = LineCount(Folder.ErrorLog());
  EXPECT_EQ(linesBefore, 1);

  switch (fault) {
    case TLogFault::ReadOnlyFileSystem:
      ASSERT_TRUE(mount->SetReadOnly(true));
      break;
    case TLogFault::FolderReplacedByFile:
      std::filesystem::rename(LogsFolder(), LogsFolder() + ".away");
      Folder.Dir().WriteFile("Logs", "not a folder");
      break;
    case TLogFault::DiskFull:
      FillFileSystem(LogsFolder() + "/filler");
      break;
  }

  // Pages, refused logins (each one an error line that cannot be written, or
  // for a full disk, first some that still fit) and reloads, all at once.
  TAnswerCount answers;
  RunClients(8, [&](int client) {
    for (int i = 0; i < 25; ++i) {
      switch (i % 5) {
        case 0: answers.Add(Ask(MakeRequest("GET", "/Vardex_Login"))); break;
        case 4: answers.Add(Ask(Submission("admin", "secret", "Reload Configuration"))); break;
        default:
          // Long names make long lines, which cross the page boundaries of
          // the log file often.
          answers.Add(Ask(Submission("user-" + std::to_string(client) + "-" + std::to_string(i) + std::string(150, 'x'),
                                     "wrong", "Reboot")));
      }
    }
  });
  EXPECT_EQ(answers[TAnswer::LoginPage], 40) << answers.Text();
  EXPECT_EQ(answers[TAnswer::NotAuthorized], 120) << answers.Text();
  EXPECT_EQ(answers[TAnswer::Reloaded] + answers[TAnswer::Busy], 40) << answers.Text();
  EXPECT_GE(answers[TAnswer::Reloaded], 1) << answers.Text();

  // A reboot is still carried out.
  EXPECT_EQ(Ask(Submission("admin", "secret", "Reboot")), TAnswer::RebootInitiated);
  EXPECT_TRUE(WaitUntil([&] { return ReadFile(RecordFile()) == "reboot\n"; }, 10s)) << ReadFile(RecordFile());
  ASSERT_TRUE(service->Running()) << service->Stderr();

  switch (fault) {
    case TLogFault::ReadOnlyFileSystem:
      ASSERT_TRUE(mount->SetReadOnly(false));
      EXPECT_EQ(LineCount(Folder.ErrorLog()), linesBefore) << "nothing could be written";
      break;
    case TLogFault::FolderReplacedByFile:
      std::filesystem::remove(LogsFolder());
      std::filesystem::rename(LogsFolder() + ".away", LogsFolder());
      EXPECT_EQ(LineCount(Folder.ErrorLog()), linesBefore) << "nothing could be written";
      break;
    case TLogFault::DiskFull:
      std::filesystem::remove(LogsFolder() + "/filler");
      break;
  }

  // Once the folder can be written again, the lines come back whole.
  EXPECT_EQ(Ask(Submission("after", "wrong", "Reboot")), TAnswer::NotAuthorized);
  const std::string errors = Folder.ErrorLog();
  EXPECT_NE(errors.find("\tUser 'after' at ip 127.0.0.1 was not authorized.\r\n"), std::string::npos) << errors;
  EXPECT_TRUE(AllLinesWhole(errors, LogFaultLines));
  EXPECT_TRUE(AllLinesWhole(Folder.HistoryLog(), LogFaultLines));

  service->Signal(SIGTERM);
  EXPECT_EQ(service->WaitFor(10s), 0) << service->Stderr();
}

INSTANTIATE_TEST_SUITE_P(Faults, VardexLogFaults,
                         ::testing::Values(TLogFault::ReadOnlyFileSystem, TLogFault::FolderReplacedByFile,
                                           TLogFault::DiskFull),
                         LogFaultName);

// ---------------------------------------------------------------------------
// The configuration file is rewritten in place, a few bytes at a time, while
// reloads arrive. The user list in force is at every moment either the whole
// old one ({admin, alpha}) or the whole new one ({admin, beta}).

TEST_F(VardexFaults, AConfigurationFileCaughtHalfWrittenNeverGivesAHalfUserList) {
  const std::string oldUsers = "admin=secret\r\nalpha=alpha-password\r\n";
  const std::string newUsers = "admin=secret\r\nbeta=beta-password\r\n";
  WriteConfiguration("", oldUsers);
  std::string contents[2];
  for (int which = 0; which < 2; ++which) {
    WriteConfiguration("", which == 0 ? oldUsers : newUsers);
    contents[which] = ReadFile(Folder.Path() + "Vardex.cfg");
  }
  WriteConfiguration("", oldUsers);
  auto service = StartService();
  ASSERT_TRUE(service->Running());

  // Whoever is in both lists can log in all the time; "Shutdown" is not
  // allowed, so probing a name has no effect beyond the answer.
  std::atomic<bool> writing{true};
  TAnswerCount adminAnswers;
  std::thread adminProbe([&] {
    while (writing) adminAnswers.Add(Ask(Submission("admin", "secret", "Shutdown")));
  });

  constexpr int Rounds = 25;
  TAnswerCount reloads;
  int oldListsInForce = 0;
  int newListsInForce = 0;
  std::string mixed;
  std::mt19937 random(7);
  const std::string path = Folder.Path() + "Vardex.cfg";
  for (int round = 0; round < Rounds && mixed.empty(); ++round) {
    const std::string& content = contents[(round + 1) % 2];
    // An editor that saves in place: truncate, then write a few bytes at a
    // time with short pauses.
    std::atomic<bool> written{false};
    std::thread writer([&] {
      const int fd = ::open(path.c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC);
      for (std::size_t at = 0; fd >= 0 && at < content.size(); at += 9) {
        const std::size_t size = std::min<std::size_t>(9, content.size() - at);
        if (::write(fd, content.data() + at, size) != static_cast<ssize_t>(size)) break;
        std::this_thread::sleep_for(2ms);
      }
      if (fd >= 0) ::close(fd);
      written = true;
    });
    // Reloads one after another while the file is being written. Only a
    // reload changes the list in force, so right after each one exactly one
    // of alpha and beta must be accepted: an accepted name gets "Failed to
    // shutdown the server." (or "busy" while the admin probe runs), a refused
    // one "You are not authorized.".
    std::this_thread::sleep_for(std::chrono::milliseconds(random() % 10));
    do {
      reloads.Add(Ask(Submission("admin", "secret", "Reload Configuration")));
      const TAnswer alpha = Ask(Submission("alpha", "alpha-password", "Shutdown"));
      const TAnswer beta = Ask(Submission("beta", "beta-password", "Shutdown"));
      const auto accepted = [](TAnswer answer) { return answer == TAnswer::ShutdownRefused || answer == TAnswer::Busy; };
      if (accepted(alpha) == accepted(beta) && mixed.empty()) {
        mixed = "round " + std::to_string(round) + ": alpha " + AnswerName(alpha) + ", beta " + AnswerName(beta);
      }
      (accepted(alpha) ? oldListsInForce : newListsInForce)++;
    } while (!written);
    writer.join();
  }
  writing = false;
  adminProbe.join();

  std::cout << "reloads: " << reloads.Text() << "\nold list in force " << oldListsInForce << " times, new list "
            << newListsInForce << " times\nadmin probes: " << adminAnswers.Text() << "\n";
  ASSERT_EQ(mixed, "") << "a user list that is neither the whole old nor the whole new one";
  EXPECT_EQ(reloads[TAnswer::NotAuthorized] + reloads[TAnswer::NoAnswer] + reloads[TAnswer::Other], 0)
      << reloads.Text();
  EXPECT_GE(reloads[TAnswer::Reloaded], 1) << reloads.Text();
  EXPECT_EQ(adminAnswers[TAnswer::NotAuthorized] + adminAnswers[TAnswer::NoAnswer] + adminAnswers[TAnswer::Other], 0)
      << adminAnswers.Text();
  // A reload now takes the file the last round wrote, whole.
  const bool lastWasNew = Rounds % 2 == 1;
  EXPECT_EQ(Ask(Submission("admin", "secret", "Reload Configuration")), TAnswer::Reloaded);
  EXPECT_EQ(Ask(Submission("alpha", "alpha-password", "Shutdown")),
            lastWasNew ? TAnswer::NotAuthorized : TAnswer::ShutdownRefused);
  EXPECT_EQ(Ask(Submission("beta", "beta-password", "Shutdown")),
            lastWasNew ? TAnswer::ShutdownRefused : TAnswer::NotAuthorized);

  service->Signal(SIGTERM);
  EXPECT_EQ(service->WaitFor(10s), 0) << service->Stderr();
}

// ---------------------------------------------------------------------------
// The openssl program in the installation folder is broken at start.

// Stands for the test's installation folder in an expected log line.
const std::string InstallationFolderMarker = "<installation folder>";

struct TOpenSSLFault {
  const char* Name;
  // The script put in place of the link; empty: no program at all.
  const char* Script;
  // Lines the error log must hold.
  std::vector<std::string> LogLines;
};

void PrintTo(const TOpenSSLFault& fault, std::ostream* out) { *out << fault.Name; }

class VardexOpenSSLFaults : public VardexFaults, public ::testing::WithParamInterface<TOpenSSLFault> {};

TEST_P(VardexOpenSSLFaults, TheStartFailsAndTheLogSaysWhy) {
  const TOpenSSLFault& fault = GetParam();
  std::filesystem::remove(Folder.Path() + "openssl");
  if (*fault.Script != '\0') {
    const std::string script = Folder.Dir().WriteFile("openssl", fault.Script);
    std::filesystem::permissions(script, std::filesystem::perms(0755));
  }
  const auto started = std::chrono::steady_clock::now();
  auto service = StartProcess();
  const auto status = service->WaitFor(200s);
  const auto seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
  ASSERT_TRUE(status.has_value()) << "still starting after 200 s";
  std::cout << fault.Name << ": the start failed after " << seconds << " s with status " << *status << "\n";
  EXPECT_NE(*status, 0);
  // systemd gives the start two minutes (TimeoutStartSec in the unit file);
  // the failure must be told before that.
  EXPECT_LT(seconds, 100.0);
  EXPECT_EQ(Notify.Receive(0ms).find("READY=1"), std::string::npos);
  EXPECT_FALSE(HttpsExchange(Port, MakeRequest("GET", "/Vardex_Login")).Connected);
  const std::string log = Folder.ErrorLog();
  for (std::string line : fault.LogLines) {
    const std::size_t marker = line.find(InstallationFolderMarker);
    if (marker != std::string::npos) line.replace(marker, InstallationFolderMarker.size(), Folder.Path());
    EXPECT_NE(log.find("\t" + line + "\r\n"), std::string::npos) << "missing \"" << line << "\" in\n" << log;
  }
  EXPECT_NE(service->Stderr(), "");
}

INSTANTIATE_TEST_SUITE_P(
    Faults, VardexOpenSSLFaults,
    ::testing::Values(
        TOpenSSLFault{"Missing", "",
                      {"Fatal error: openssl.exe or it's libraries not found in (<installation folder>)."}},
        // Random bytes and a zero exit status: no check can find what it needs.
        TOpenSSLFault{"PrintsRandomBytes",
                      "#!/bin/sh\nhead -c 3000 /dev/urandom\nexit 0\n",
                      {"Fatal SSL certificate error: cannot load Server Certificate.", "INFO: validating cert contents",
                       "Reference: Cert\\WSScert.pem"}},
        // Looks like a certificate printout, with dates that cannot be read.
        TOpenSSLFault{"PrintsUnreadableDates",
                      "#!/bin/sh\nprintf 'Subject: CN = localhost\\nNot Before: Foo 99 99:99:99 20x4 GMT\\n"
                      "Not After : soon\\n'\n",
                      {"'Foo 99 99:99:99 20x4' is not a valid date and time"}},
        // Prints an error and fails, for every call.
        TOpenSSLFault{"FailsWithAMessage",
                      "#!/bin/sh\necho 'openssl: fatal: something went wrong' >&2\nexit 1\n",
                      {"INFO: Cert\\CAcert.pem", "Fatal SSL certificate error: cannot load Root Certificate.",
                       "INFO: Cert\\WSScert.pem", "INFO: Cert\\WSSkey.pem"}},
        // Never ends: the runner gives up after its time-out of 60 s, and
        // the later checks do not run it again.
        TOpenSSLFault{"Hangs", "#!/bin/sh\nexec sleep 600\n",
                      {"CheckCert ErrorCode=110", "INFO: Cert\\CAcert.pem",
                       "Fatal SSL certificate error: cannot load Root Certificate.", "CheckKey ErrorCode=110",
                       "INFO: Cert\\WSSkey.pem", "Fatal SSL certificate error: cannot load RSA Key."}}),
    [](const ::testing::TestParamInfo<TOpenSSLFault>& param) { return std::string(param.param.Name); });

// ---------------------------------------------------------------------------
// A kill or a stop in the middle of a burst of refused logins, each of which
// writes an error line.

const std::string BurstLines = "User 'burst-[0-9]+-[0-9]+x*' at ip 127\\.0\\.0\\.1 was not authorized\\.";

// Sends refused logins from `clients` threads until `stop` is set.
void Burst(std::uint16_t port, int clients, std::atomic<bool>& stop, std::atomic<int>& sent) {
  RunClients(clients, [&](int client) {
    for (int i = 0; !stop; ++i) {
      // Names of changing length put line ends at every offset of a page.
      const std::string name = "burst-" + std::to_string(client) + "-" + std::to_string(i) + std::string(i % 97 * 3, 'x');
      testing::THttpsClientOptions options;
      options.TimeOut = 5000ms;
      HttpsExchange(port, Submission(name, "wrong", "Reboot"), options);
      ++sent;
    }
  });
}

TEST_F(VardexFaults, SigkillDuringABurstOfWritesLeavesOnlyWholeLines) {
  std::mt19937 random(11);
  int killed = 0;
  for (int round = 0; round < 5; ++round) {
    auto service = StartService();
    ASSERT_TRUE(service->Running());
    std::atomic<bool> stop{false};
    std::atomic<int> sent{0};
    std::thread burst([&] { Burst(Port, 12, stop, sent); });
    const int linesBefore = LineCount(Folder.ErrorLog());
    // Kill at some moment after the writes have got going.
    const int target = linesBefore + 50 + static_cast<int>(random() % 200);
    EXPECT_TRUE(WaitUntil([&] { return LineCount(Folder.ErrorLog()) >= target; }, 60s));
    service->Signal(SIGKILL);
    EXPECT_EQ(service->WaitFor(10s), 128 + SIGKILL);
    stop = true;
    burst.join();
    ++killed;
    const std::string log = Folder.ErrorLog();
    ASSERT_TRUE(AllLinesWhole(log, BurstLines)) << "after kill " << killed;
  }
  std::cout << "killed " << killed << " times during bursts; " << LineCount(Folder.ErrorLog())
            << " lines in the error log, all whole\n";
}

TEST_F(VardexFaults, SigtermDuringABurstStopsWithinTheTerminateWaitTime) {
  auto service = StartService();
  ASSERT_TRUE(service->Running());
  // Connections that never send a request hold their sessions open; the stop
  // must not wait for them beyond the terminate wait time (3 s here).
  std::vector<std::unique_ptr<TRawConnection>> idle;
  for (int i = 0; i < 4; ++i) idle.push_back(std::make_unique<TRawConnection>(Port));
  std::atomic<bool> stop{false};
  std::atomic<int> sent{0};
  std::thread burst([&] { Burst(Port, 12, stop, sent); });
  EXPECT_TRUE(WaitUntil([&] { return LineCount(Folder.ErrorLog()) >= 100; }, 60s));

  const auto signalled = std::chrono::steady_clock::now();
  service->Signal(SIGTERM);
  const auto status = service->WaitFor(30s);
  const auto stopTime = std::chrono::steady_clock::now() - signalled;
  stop = true;
  burst.join();
  std::cout << "stopped " << std::chrono::duration_cast<std::chrono::milliseconds>(stopTime).count()
            << " ms after SIGTERM, during a burst (" << sent << " requests sent)\n";
  EXPECT_EQ(status, 0) << service->Stderr();
  EXPECT_LT(stopTime, 3000ms + 1500ms);
  EXPECT_TRUE(AllLinesWhole(Folder.ErrorLog(), BurstLines));
}

TEST_F(VardexFaults, SigtermRightAfterAReloadThatMovesTheListenerEndsCleanly) {
  for (int round = 0; round < 3; ++round) {
    WriteConfiguration("TerminateWaitTime=3000\r\n");
    auto service = StartService();
    ASSERT_TRUE(service->Running());
    const std::uint16_t oldPort = Port;
    Port = FreeLoopbackPort();
    WriteConfiguration("TerminateWaitTime=3000\r\n");
    const THttpsReply reply = HttpsExchange(
        oldPort, MakeRequest("POST", "/x", "UserName=admin&Password=secret&Action=Reload+Configuration"));
    EXPECT_NE(reply.Body.find("Server configuration reloaded."), std::string::npos) << reply.Body;
    // The listener restart runs on the request's thread after the answer:
    // the stop comes while it runs, or just before or after.
    service->Signal(SIGTERM);
    EXPECT_EQ(service->WaitFor(30s), 0) << service->Stderr();
  }
}

}  // namespace
}  // namespace kelvane
