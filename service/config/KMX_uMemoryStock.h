#pragma once

// A stock of memory the service holds while it runs: a number of zero-filled
// blocks of one size, filled at start and topped up on a timer.

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>

namespace kelvane {

using TMemoryBlock = std::unique_ptr<std::byte[]>;

// Hands out one block of `Size` bytes, or no block (null); throws
// std::bad_alloc when the memory cannot be had.
using TBlockAllocator = std::function<TMemoryBlock(std::uint32_t Size)>;

// Allocates zero-filled blocks whose every page is written, so that the
// system really sets the memory aside (it would otherwise hand out pages only
// on first use). A size of 0 gives no block.
TMemoryBlock AllocateCommittedBlock(std::uint32_t Size);

class TMemoryStock {
 public:
  static constexpr std::int32_t MaxBlockCount = 100;
  // The most the whole stock holds; more than a 32-bit process could ever
  // have, and a guard against a block size that would exhaust the machine.
  static constexpr std::uint64_t MaxStockBytes = std::uint64_t{2} << 30;

  explicit TMemoryStock(TBlockAllocator Allocator = AllocateCommittedBlock);
  ~TMemoryStock();
  TMemoryStock(const TMemoryStock&) = delete;
  TMemoryStock& operator=(const TMemoryStock&) = delete;

  // Releases every block, takes the new count (at most MaxBlockCount, none
  // when 0 or less) and size, and fills the stock anew.
  // Throws std::bad_alloc when a block cannot be had; the blocks obtained
  // before stay held. A stock that would exceed MaxStockBytes throws before
  // anything changes.
  void ReallocateMemory(std::int32_t BlockCount, std::uint32_t BlockSize);

  // Tops the stock up from the first empty slot. Returns at once when a
  // top-up or a reallocation is running on another thread.
  // Throws std::bad_alloc as ReallocateMemory does.
  void AllocateMemory();

  // Number of the last filled slot (1-based); 0 when the stock is empty.
  std::int32_t LastBusyMemoryBlock() const;
  std::int32_t BlockCount() const;
  std::uint32_t BlockSize() const;

 private:
  void FillEmptySlots();

  TBlockAllocator FAllocator;
  // Serialises a reallocation (from a connection thread) and a timer top-up
  // (main thread); it also takes the place of the flag that kept two top-ups
  // apart.
  mutable std::mutex FLock;
  std::array<TMemoryBlock, MaxBlockCount> FMemoryBlocks;
  std::int32_t FLastBusyMemoryBlock = 0;
  std::int32_t FBlockCount = 0;
  std::uint32_t FBlockSize = 0;
};

}  // namespace kelvane
