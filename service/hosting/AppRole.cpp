#include "AppRole.h"

#include "AppRoleListener.h"
#include "AppRoleMutex.h"
#include "ucAppRoleChannel.h"
#include "ucAsciiText.h"
#include "ucNamedMutex.h"

namespace kelvane {
namespace {

constexpr int HighestNumber = 255;

}  // namespace

TAppRole::TAppRole(TEventLoop& Loop, std::string ProgramFileName)
    : FLoop(Loop), FProgramFileName(std::move(ProgramFileName)) {
  Claim();
}

TAppRole::~TAppRole() {
  try {
    Release();
  } catch (...) {
    // Leaving must not fail; the channel is gone either way.
  }
}

std::string TAppRole::EffectiveID() const { return FAppID.empty() ? FProgramFileName : FAppID; }

std::string TAppRole::PipeName(const std::string& ID, int Number) {
  std::string id = ID;
  for (char& c : id) {
    if (c == '\\') c = '?';
  }
  return "\\\\.\\pipe\\AppRolePipe_" + id + "_" + std::to_string(Number);
}

void TAppRole::SetAppID(const std::string& Value) {
  const std::string value(TrimBlanks(Value));
  if (value == FAppID) return;
  Release();
  FAppID = value;
  Claim();
}

void TAppRole::Refresh() {
  Lock();
  try {
    Scan();
  } catch (...) {
    Unlock();
    throw;
  }
  Unlock();
  Broadcast();
}

void TAppRole::Lock() {
  if (FLockCount == 0) {
    auto mutex = std::make_unique<TNamedMutex>(AppRoleMutexName(EffectiveID(), 0));
    std::string error;
    switch (mutex->Acquire(LockWaitTime, error)) {
      case TLockWaitResult::Acquired:
        break;
      case TLockWaitResult::TimedOut:
        throw ELockTimeout();
      case TLockWaitResult::Failed:
        throw std::runtime_error(error);
    }
    FLockMutex = std::move(mutex);
  }
  ++FLockCount;
}

void TAppRole::Unlock() {
  if (FLockCount == 0) return;
  if (--FLockCount == 0) {
    FLockMutex->Release();
    FLockMutex.reset();
  }
}

void TAppRole::Scan() {
  FInstanceMask.reset();
  const std::string id = EffectiveID();
  for (int number = 1; number <= HighestNumber; ++number) {
    if (number == FInitialInstance || ChannelExists(PipeName(id, number))) {
      FInstanceMask.set(static_cast<std::size_t>(number));
    }
  }
}

void TAppRole::Claim() {
  if (FInitialInstance != 0) return;
  Lock();
  try {
    Scan();
    for (int number = 1; number <= HighestNumber; ++number) {
      if (!FInstanceMask.test(static_cast<std::size_t>(number))) {
        FInstanceMask.set(static_cast<std::size_t>(number));
        FInitialInstance = number;
        break;
      }
    }
    FListener.reset();
    // The channel is created while the lock is held: the number is visibly
    // taken before the next process may look.
    if (FInitialInstance != 0) {
      FListener = std::make_unique<TMessageListener>(FLoop, PipeName(EffectiveID(), FInitialInstance),
                                                     [this](const TInstanceMask& Mask) { Receive(Mask); });
    }
  } catch (...) {
    if (FInitialInstance != 0) FInstanceMask.reset(static_cast<std::size_t>(FInitialInstance));
    FInitialInstance = 0;
    Unlock();
    throw;
  }
  Unlock();
  if (FListener) FListener->Start();
  Broadcast();
}

void TAppRole::Release() {
  if (FListener) {
    FListener->Stop();
    FListener.reset();
  }
  if (FInitialInstance != 0) FInstanceMask.reset(static_cast<std::size_t>(FInitialInstance));
  FInitialInstance = 0;
  Broadcast();
}

void TAppRole::Broadcast() {
  const std::string message = EncodeAppRoleMessage(FInstanceMask);
  const std::string id = EffectiveID();
  for (int number = 1; number <= HighestNumber; ++number) {
    // A number nobody serves, or a peer that cannot take the message, is skipped.
    SendChannelMessage(PipeName(id, number), message);
  }
}

void TAppRole::Receive(const TInstanceMask& Mask) { FInstanceMask = Mask; }

}  // namespace kelvane
