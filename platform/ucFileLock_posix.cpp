#include "ucFileLock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <system_error>
#include <thread>

namespace kelvane {
namespace {

// Opens the lock file, creating it readable for every account when it is new.
// An existing file is opened without O_CREAT first: in a sticky shared folder
// the kernel may refuse O_CREAT on a file that another account owns.
int OpenLockFile(const std::string& path) {
  for (int attempt = 0; attempt < 8; ++attempt) {
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd >= 0 || errno != ENOENT) return fd;
    fd = ::open(path.c_str(), O_RDONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (fd >= 0) {
      // The process umask must not hide the file from other accounts.
      ::fchmod(fd, 0644);
      return fd;
    }
    if (errno != EEXIST) return -1;
  }
  return -1;
}

std::string LockFolder() {
  struct stat st {};
  if (::stat("/run/lock", &st) == 0 && S_ISDIR(st.st_mode) && ::access("/run/lock", W_OK) == 0) return "/run/lock/";
  return "/tmp/";
}

}  // namespace

struct TFileLock::Impl {
  int Fd = -1;
};

TFileLock::TFileLock(std::string path) : FPath(std::move(path)), FImpl(std::make_unique<Impl>()) {}

TFileLock::~TFileLock() { Unlock(); }

bool TFileLock::TryLockFor(std::chrono::milliseconds timeout) {
  if (FImpl->Fd >= 0) return true;
  const int fd = OpenLockFile(FPath);
  if (fd < 0) throw std::system_error(errno, std::generic_category(), "cannot open lock file " + FPath);
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    if (::flock(fd, LOCK_EX | LOCK_NB) == 0) {
      FImpl->Fd = fd;
      return true;
    }
    if (errno != EWOULDBLOCK && errno != EINTR) {
      const int error = errno;
      ::close(fd);
      throw std::system_error(error, std::generic_category(), "cannot lock " + FPath);
    }
    if (std::chrono::steady_clock::now() >= deadline) {
      ::close(fd);
      return false;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
}

void TFileLock::Unlock() {
  if (FImpl->Fd < 0) return;
  ::flock(FImpl->Fd, LOCK_UN);
  ::close(FImpl->Fd);
  FImpl->Fd = -1;
}

bool TFileLock::Locked() const { return FImpl->Fd >= 0; }

std::string NamedLockFilePath(const std::string& name) {
  // Bytes that are not plain file-name characters are written as %XX, so the
  // mapping stays one to one ("a/b" and "a%2Fb" never meet).
  std::string encoded;
  for (unsigned char c : name) {
    const bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' ||
                       c == '_' || c == '.';
    if (plain) {
      encoded += static_cast<char>(c);
    } else {
      char buffer[4];
      std::snprintf(buffer, sizeof buffer, "%%%02X", c);
      encoded += buffer;
    }
  }
  // A file name has at most 255 bytes; a longer name keeps its start and a
  // hash of the whole, which keeps different names apart.
  constexpr std::size_t MaxEncoded = 200;
  if (encoded.size() > MaxEncoded) {
    std::uint64_t hash = 14695981039346656037ull;
    for (unsigned char c : name) hash = (hash ^ c) * 1099511628211ull;
    char buffer[20];
    std::snprintf(buffer, sizeof buffer, "#%016llx", static_cast<unsigned long long>(hash));
    encoded = encoded.substr(0, MaxEncoded) + buffer;
  }
  return LockFolder() + "kelvane." + encoded + ".lock";
}

}  // namespace kelvane
