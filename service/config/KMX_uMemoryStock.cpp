#include "KMX_uMemoryStock.h"

#include <algorithm>
#include <cstring>
#include <new>

namespace kelvane {

TMemoryBlock AllocateCommittedBlock(std::uint32_t Size) {
  if (Size == 0) return nullptr;
  // Uninitialised storage followed by an explicit fill: the fill writes every
  // page, which is what makes the system commit them. (A calloc-style
  // allocation could hand back untouched pages that only look zero.)
  TMemoryBlock block(new std::byte[Size]);
  std::memset(block.get(), 0, Size);
  return block;
}

TMemoryStock::TMemoryStock(TBlockAllocator Allocator) : FAllocator(std::move(Allocator)) {}

TMemoryStock::~TMemoryStock() = default;

void TMemoryStock::ReallocateMemory(std::int32_t BlockCount, std::uint32_t BlockSize) {
  std::lock_guard<std::mutex> lock(FLock);
  const std::int32_t count = std::clamp(BlockCount, std::int32_t{0}, MaxBlockCount);
  // A stock over its bound is refused before the stock in hand is released.
  if (static_cast<std::uint64_t>(count) * BlockSize > MaxStockBytes) throw std::bad_alloc();
  FBlockCount = count;
  FBlockSize = BlockSize;
  for (TMemoryBlock& block : FMemoryBlocks) block.reset();
  FLastBusyMemoryBlock = 0;
  FillEmptySlots();
}

void TMemoryStock::AllocateMemory() {
  std::unique_lock<std::mutex> lock(FLock, std::try_to_lock);
  if (!lock.owns_lock()) return;
  FillEmptySlots();
}

void TMemoryStock::FillEmptySlots() {
  // Slots 1 .. FLastBusyMemoryBlock hold blocks, the rest are empty; a slot
  // that yields no block ends the round so that the next one tries it again.
  std::uint64_t total = std::uint64_t{FBlockSize} * static_cast<std::uint64_t>(FLastBusyMemoryBlock);
  for (std::int32_t index = FLastBusyMemoryBlock + 1; index <= FBlockCount; ++index) {
    if (FBlockSize > 0 && total + FBlockSize > MaxStockBytes) throw std::bad_alloc();
    TMemoryBlock block = FAllocator(FBlockSize);
    if (!block) return;
    FMemoryBlocks[static_cast<size_t>(index - 1)] = std::move(block);
    FLastBusyMemoryBlock = index;
    total += FBlockSize;
  }
}

std::int32_t TMemoryStock::LastBusyMemoryBlock() const {
  std::lock_guard<std::mutex> lock(FLock);
  return FLastBusyMemoryBlock;
}

std::int32_t TMemoryStock::BlockCount() const {
  std::lock_guard<std::mutex> lock(FLock);
  return FBlockCount;
}

std::uint32_t TMemoryStock::BlockSize() const {
  std::lock_guard<std::mutex> lock(FLock);
  return FBlockSize;
}

}  // namespace kelvane
