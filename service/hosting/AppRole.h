#pragma once

// The instance registry. Every running process of the program takes a number
// from 1 to 255 that no other running process with the same application
// identifier holds, and keeps it while it runs. Each process serves a channel
// named after its number, "\\.\pipe\AppRolePipe_<id>_<n>"; a process finds the
// taken numbers by looking which channels exist, and tells the others the
// whole set whenever it joins or leaves. A lock across processes keeps two of
// them from choosing at the same moment.

#include <chrono>
#include <memory>
#include <string>

#include "AppRoleMessage.h"

namespace kelvane {

class TEventLoop;
class TMessageListener;
class TNamedMutex;

class TAppRole {
 public:
  // How long a claim waits for another process that is choosing its number.
  static constexpr std::chrono::milliseconds LockWaitTime {1000};

  // Claims a number at once under the program file's name (ProgramFileName,
  // with extension). ELockTimeout when the lock stays taken, std::system_error
  // when the lock or the channel cannot be created. Receive steps run on
  // `Loop`'s thread, which must be the thread that uses this object.
  TAppRole(TEventLoop& Loop, std::string ProgramFileName);
  // Releases the number.
  ~TAppRole();
  TAppRole(const TAppRole&) = delete;
  TAppRole& operator=(const TAppRole&) = delete;

  // The application identifier; empty means the program file's name.
  const std::string& AppID() const { return FAppID; }
  // Trims the value; when it differs from the current one, releases the
  // number, stores it and claims again under it.
  void SetAppID(const std::string& Value);
  // The identifier the names are made from.
  std::string EffectiveID() const;

  // This process's number; 0 when it holds none.
  int InstanceNumber() const { return FInitialInstance; }
  // How many numbers this process believes taken.
  int InstanceCount() const { return static_cast<int>(FInstanceMask.count()); }
  const TInstanceMask& InstanceMask() const { return FInstanceMask; }

  // Looks again which numbers are taken and tells everyone.
  void Refresh();

  // "\\.\pipe\AppRolePipe_%s_%d" with the ID (every backslash turned into
  // "?") and the number.
  static std::string PipeName(const std::string& ID, int Number);

 private:
  void Lock();
  void Unlock();
  void Scan();
  void Claim();
  void Release();
  void Broadcast();
  void Receive(const TInstanceMask& Mask);

  TEventLoop& FLoop;
  std::string FProgramFileName;
  int FLockCount = 0;
  TInstanceMask FInstanceMask;
  int FInitialInstance = 0;
  std::string FAppID;
  std::unique_ptr<TMessageListener> FListener;
  std::unique_ptr<TNamedMutex> FLockMutex;
};

}  // namespace kelvane
