#pragma once

// An exclusive lock between processes, held on a lock file. The system drops
// the lock when its holder ends, however it ends, so a lock left behind by a
// process that died is free again for the next taker.

#include <chrono>
#include <memory>
#include <string>

namespace kelvane {

class TFileLock {
 public:
  explicit TFileLock(std::string path);
  ~TFileLock();
  TFileLock(const TFileLock&) = delete;
  TFileLock& operator=(const TFileLock&) = delete;

  // Takes the lock, waiting at most `timeout`. Answers false when another
  // holder kept it that long. Throws std::system_error when the lock file can
  // neither be opened nor created.
  bool TryLockFor(std::chrono::milliseconds timeout);

  // Gives the lock back; nothing happens when it is not held.
  void Unlock();

  bool Locked() const;
  const std::string& Path() const { return FPath; }

 private:
  struct Impl;
  std::string FPath;
  std::unique_ptr<Impl> FImpl;
};

// The lock file that stands for a system-wide lock name. All accounts on the
// machine (the service's and a desktop user's) reach the same file for the
// same name; different names never share a file.
std::string NamedLockFilePath(const std::string& name);

}  // namespace kelvane
