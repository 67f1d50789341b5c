#include "ucNamedMutex.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <system_error>
#include <thread>

namespace kelvane {
namespace {

// Lock files live in the system's lock folder; /tmp serves where that folder
// is missing or not writable, so unprivileged processes share locks too.
std::string LockFolder() {
  struct stat st {};
  if (::stat("/run/lock", &st) == 0 && S_ISDIR(st.st_mode) && ::access("/run/lock", W_OK) == 0) return "/run/lock/";
  return "/tmp/";
}

std::string EncodeName(std::string_view name) {
  static const char* const Hex = "0123456789ABCDEF";
  std::string encoded;
  for (unsigned char c : name) {
    if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' || c == '_' ||
        c == '.') {
      encoded += static_cast<char>(c);
    } else {
      encoded += '%';
      encoded += Hex[c >> 4];
      encoded += Hex[c & 0x0F];
    }
  }
  // File names are limited to 255 bytes; a shortened name keeps a hash of the
  // whole name so that two long names still map to different files.
  constexpr size_t MaxEncoded = 200;
  if (encoded.size() > MaxEncoded) {
    std::uint64_t hash = 14695981039346656037ull;
    for (unsigned char c : name) hash = (hash ^ c) * 1099511628211ull;
    std::string suffix = "-";
    for (int shift = 60; shift >= 0; shift -= 4) suffix += Hex[(hash >> shift) & 0x0F];
    encoded = encoded.substr(0, MaxEncoded - suffix.size()) + suffix;
  }
  return encoded;
}

std::string SystemMessage(int error) { return std::system_category().message(error); }

// Opens the lock file, creating it when it is missing. An existing file is
// opened without O_CREAT because the kernel may refuse O_CREAT on another
// user's file in a sticky folder; a file we create is made usable by every
// user, since the lock is shared across accounts like a named mutex.
int OpenLockFile(const std::string& path, int& error) {
  for (int attempt = 0; attempt < 100; ++attempt) {
    int fd = ::open(path.c_str(), O_RDWR | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0 && errno == EACCES) fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    if (fd >= 0) return fd;
    if (errno != ENOENT) {
      error = errno;
      return -1;
    }
    fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0666);
    if (fd >= 0) {
      (void)::fchmod(fd, 0666);
      return fd;
    }
    if (errno != EEXIST) {
      error = errno;
      return -1;
    }
  }
  error = EAGAIN;
  return -1;
}

// A lock file that was removed and re-created while we waited is no longer
// the one others lock; holding the old inode would exclude nobody.
bool StillNamedBy(int fd, const std::string& path) {
  struct stat held {};
  struct stat named {};
  return ::fstat(fd, &held) == 0 && ::stat(path.c_str(), &named) == 0 && held.st_dev == named.st_dev &&
         held.st_ino == named.st_ino;
}

}  // namespace

struct TNamedMutex::Impl {
  std::string Path;
  int Fd = -1;
};

TNamedMutex::TNamedMutex(std::string_view Name) : FImpl(std::make_unique<Impl>()) {
  FImpl->Path = LockFilePath(Name);
}

TNamedMutex::~TNamedMutex() { Release(); }

std::string TNamedMutex::LockFilePath(std::string_view Name) {
  return LockFolder() + "kelvane-" + EncodeName(Name) + ".lock";
}

TLockWaitResult TNamedMutex::Acquire(std::chrono::milliseconds Timeout, std::string& Error) {
  Error.clear();
  if (IsHeld()) return TLockWaitResult::Acquired;
  using Clock = std::chrono::steady_clock;
  const Clock::time_point deadline = Clock::now() + std::max(Timeout, std::chrono::milliseconds(0));
  std::chrono::milliseconds pause(1);
  for (;;) {
    int error = 0;
    const int fd = OpenLockFile(FImpl->Path, error);
    if (fd < 0) {
      Error = FImpl->Path + ": " + SystemMessage(error);
      return TLockWaitResult::Failed;
    }
    if (::flock(fd, LOCK_EX | LOCK_NB) == 0) {
      if (StillNamedBy(fd, FImpl->Path)) {
        FImpl->Fd = fd;
        return TLockWaitResult::Acquired;
      }
      error = EWOULDBLOCK;  // a stale file: try the current one after a pause
    } else {
      error = errno;
    }
    ::close(fd);
    if (error != EWOULDBLOCK && error != EINTR) {
      Error = FImpl->Path + ": " + SystemMessage(error);
      return TLockWaitResult::Failed;
    }
    // flock has no time-out of its own, so the wait polls with a pause that
    // grows to a few tens of milliseconds.
    const Clock::time_point now = Clock::now();
    if (now >= deadline) return TLockWaitResult::TimedOut;
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - now);
    std::this_thread::sleep_for(std::min(pause, left + std::chrono::milliseconds(1)));
    pause = std::min(pause * 2, std::chrono::milliseconds(25));
  }
}

void TNamedMutex::Release() {
  if (FImpl->Fd < 0) return;
  // Closing the only descriptor of this open file drops the lock; the file
  // stays so that every process keeps locking the same inode.
  ::close(FImpl->Fd);
  FImpl->Fd = -1;
}

bool TNamedMutex::IsHeld() const { return FImpl->Fd >= 0; }

}  // namespace kelvane
