#pragma once

// A lock shared by every process on this machine that asks for the same name,
// the way a system-wide named mutex is. Each name stands for a lock file in a
// fixed system folder; the kernel drops the lock when its holder ends, even
// when the holder crashed, so a lock abandoned by a dead process is simply
// taken by the next one that waits for it.

#include <chrono>
#include <memory>
#include <string>
#include <string_view>

namespace kelvane {

enum class TLockWaitResult { Acquired, TimedOut, Failed };

class TNamedMutex {
 public:
  explicit TNamedMutex(std::string_view Name);
  ~TNamedMutex();  // releases the lock when it is held
  TNamedMutex(const TNamedMutex&) = delete;
  TNamedMutex& operator=(const TNamedMutex&) = delete;

  // Waits at most Timeout for the lock. Failed means the lock file could not
  // be opened or locked at all; Error then holds the system's reason.
  // Two objects of the same name exclude each other also within one process.
  TLockWaitResult Acquire(std::chrono::milliseconds Timeout, std::string& Error);

  // Gives the lock up; does nothing when it is not held.
  void Release();

  bool IsHeld() const;

  // The lock file that stands for Name. Any text is a valid name: characters
  // that cannot appear in a file name are encoded, and a very long name is
  // shortened with a hash of the whole name.
  static std::string LockFilePath(std::string_view Name);

 private:
  struct Impl;
  std::unique_ptr<Impl> FImpl;
};

}  // namespace kelvane
