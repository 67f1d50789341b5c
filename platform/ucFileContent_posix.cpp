#include "ucFileContent.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <system_error>
#include <vector>

#include "ucPaths.h"

namespace kelvane {
namespace {

std::string SystemMessage(int error) { return std::system_category().message(error); }

// Closes a descriptor on every way out of a function.
class TFdCloser {
 public:
  explicit TFdCloser(int fd) : FFd(fd) {}
  ~TFdCloser() {
    if (FFd >= 0) ::close(FFd);
  }
  TFdCloser(const TFdCloser&) = delete;
  TFdCloser& operator=(const TFdCloser&) = delete;
  int Release() {
    const int fd = FFd;
    FFd = -1;
    return fd;
  }

 private:
  int FFd;
};

bool WriteAll(int fd, std::string_view content) {
  size_t done = 0;
  while (done < content.size()) {
    const ssize_t written = ::write(fd, content.data() + done, content.size() - done);
    if (written < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    done += static_cast<size_t>(written);
  }
  return true;
}

}  // namespace

bool ReadFileContent(std::string_view Path, std::size_t MaxBytes, std::string& Content, std::string& Error) {
  Content.clear();
  Error.clear();
  const std::string path = ResolvePath(Path);
  // O_NONBLOCK keeps open() from waiting for a writer when the name is a pipe.
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) {
    Error = SystemMessage(errno);
    return false;
  }
  TFdCloser closer(fd);
  struct stat st {};
  if (::fstat(fd, &st) != 0) {
    Error = SystemMessage(errno);
    return false;
  }
  if (!S_ISREG(st.st_mode)) {
    Error = "not a regular file";
    return false;
  }
  std::vector<char> buffer(64 * 1024);
  for (;;) {
    const ssize_t got = ::read(fd, buffer.data(), buffer.size());
    if (got < 0) {
      if (errno == EINTR) continue;
      Error = SystemMessage(errno);
      Content.clear();
      return false;
    }
    if (got == 0) break;
    if (Content.size() + static_cast<size_t>(got) > MaxBytes) {
      Error = "the file is larger than " + std::to_string(MaxBytes) + " bytes";
      Content.clear();
      return false;
    }
    Content.append(buffer.data(), static_cast<size_t>(got));
  }
  return true;
}

bool WritePrivateFile(std::string_view Path, std::string_view Content, std::string& Error) {
  Error.clear();
  const std::string path = ResolvePath(Path);
  std::string temporary = path + ".tmp-XXXXXX";
  // mkstemp creates the file for its owner only, so the text is never
  // readable by others, not even for a moment.
  const int fd = ::mkstemp(temporary.data());
  if (fd < 0) {
    Error = SystemMessage(errno);
    return false;
  }
  TFdCloser closer(fd);
  bool ok = ::fchmod(fd, S_IRUSR | S_IWUSR) == 0 && WriteAll(fd, Content) && ::fsync(fd) == 0;
  int error = ok ? 0 : errno;
  if (ok && ::close(closer.Release()) != 0) {
    ok = false;
    error = errno;
  }
  if (ok && ::rename(temporary.c_str(), path.c_str()) != 0) {
    ok = false;
    error = errno;
  }
  if (!ok) {
    ::unlink(temporary.c_str());
    Error = SystemMessage(error);
    return false;
  }
  // Makes the rename itself durable; a failure here does not undo the write.
  const std::string folder = ExtractFilePath(path);
  const int folderFd = ::open(folder.empty() ? "." : folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (folderFd >= 0) {
    (void)::fsync(folderFd);
    ::close(folderFd);
  }
  return true;
}

bool CreateEmptyFile(std::string_view Path, std::string& Error) {
  Error.clear();
  const std::string path = ResolvePath(Path);
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC | O_NOFOLLOW, S_IRUSR | S_IWUSR);
  if (fd < 0) {
    Error = SystemMessage(errno);
    return false;
  }
  ::close(fd);
  return true;
}

}  // namespace kelvane
