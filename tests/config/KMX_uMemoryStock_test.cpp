#include "KMX_uMemoryStock.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <fstream>
#include <future>
#include <new>
#include <thread>
#include <vector>

namespace kelvane {
namespace {

// Hands out small real blocks whatever size is asked for, records the sizes,
// and can be told to fail or to give no block at a given call (1-based).
struct TScriptedAllocator {
  std::vector<std::uint32_t> Sizes;
  int FailAt = 0;
  int NoBlockAt = 0;

  TBlockAllocator Allocator() {
    return [this](std::uint32_t Size) -> TMemoryBlock {
      Sizes.push_back(Size);
      const int call = static_cast<int>(Sizes.size());
      if (call == FailAt) throw std::bad_alloc();
      if (call == NoBlockAt || Size == 0) return nullptr;
      return TMemoryBlock(new std::byte[1]());
    };
  }
};

struct SizeCase {
  std::int32_t Count;
  std::uint32_t Size;
  std::int32_t ExpectedBlocks;
};

TEST(KMX_uMemoryStock, HoldsTheWantedNumberOfBlocksUpToAHundred) {
  const SizeCase cases[] = {
      {10, 204800, 10}, {100, 4096, 100}, {150, 4096, 100}, {0, 4096, 0}, {-3, 4096, 0}, {10, 0, 0}, {1, 1, 1},
  };
  for (const SizeCase& c : cases) {
    TMemoryStock stock;
    stock.ReallocateMemory(c.Count, c.Size);
    EXPECT_EQ(stock.LastBusyMemoryBlock(), c.ExpectedBlocks) << c.Count << " x " << c.Size;
    EXPECT_EQ(stock.BlockCount(), std::clamp(c.Count, 0, 100)) << c.Count << " x " << c.Size;
    EXPECT_EQ(stock.BlockSize(), c.Size);
  }
}

TEST(KMX_uMemoryStock, BlockSizeZeroAllocatesNothingOnEveryTopUp) {
  TScriptedAllocator allocator;
  TMemoryStock stock(allocator.Allocator());
  stock.ReallocateMemory(10, 0);
  stock.AllocateMemory();
  stock.AllocateMemory();
  EXPECT_EQ(stock.LastBusyMemoryBlock(), 0);
  EXPECT_EQ(allocator.Sizes.size(), 3u) << "each round asks once and gives up";
}

TEST(KMX_uMemoryStock, ReallocationReplacesEveryBlockInTheNewSize) {
  TScriptedAllocator allocator;
  TMemoryStock stock(allocator.Allocator());
  stock.ReallocateMemory(10, 1000);
  stock.ReallocateMemory(4, 2000);
  EXPECT_EQ(stock.LastBusyMemoryBlock(), 4);
  EXPECT_EQ(stock.BlockSize(), 2000u);
  const std::vector<std::uint32_t> resized(allocator.Sizes.begin() + 10, allocator.Sizes.end());
  EXPECT_EQ(resized, std::vector<std::uint32_t>(4, 2000u));
}

TEST(KMX_uMemoryStock, TopUpOfAFullStockAllocatesNothing) {
  TScriptedAllocator allocator;
  TMemoryStock stock(allocator.Allocator());
  stock.ReallocateMemory(5, 64);
  stock.AllocateMemory();
  EXPECT_EQ(allocator.Sizes.size(), 5u);
  EXPECT_EQ(stock.LastBusyMemoryBlock(), 5);
}

TEST(KMX_uMemoryStock, FailedAllocationKeepsTheBlocksAndTheTopUpResumesAfterThem) {
  TScriptedAllocator allocator;
  allocator.FailAt = 4;
  TMemoryStock stock(allocator.Allocator());
  EXPECT_THROW(stock.ReallocateMemory(10, 64), std::bad_alloc);
  EXPECT_EQ(stock.LastBusyMemoryBlock(), 3);

  stock.AllocateMemory();
  EXPECT_EQ(stock.LastBusyMemoryBlock(), 10);
  EXPECT_EQ(allocator.Sizes.size(), 4u + 7u) << "slots 4 to 10 once more, nothing else";
}

TEST(KMX_uMemoryStock, SlotThatYieldsNoBlockIsTriedAgainByTheNextTopUp) {
  TScriptedAllocator allocator;
  allocator.NoBlockAt = 3;
  TMemoryStock stock(allocator.Allocator());
  stock.ReallocateMemory(5, 64);
  EXPECT_EQ(stock.LastBusyMemoryBlock(), 2);
  stock.AllocateMemory();
  EXPECT_EQ(stock.LastBusyMemoryBlock(), 5);
}

TEST(KMX_uMemoryStock, AStockBeyondItsLimitIsRefusedAndTheStockInHandKept) {
  TScriptedAllocator allocator;
  TMemoryStock stock(allocator.Allocator());
  stock.ReallocateMemory(3, 64);
  for (const auto& [count, size] : {std::pair{5, 1u << 30}, std::pair{1, 0xFFFFFFFFu}}) {
    EXPECT_THROW(stock.ReallocateMemory(count, size), std::bad_alloc);
    EXPECT_EQ(stock.LastBusyMemoryBlock(), 3);
    EXPECT_EQ(stock.BlockSize(), 64u);
  }
  EXPECT_EQ(allocator.Sizes.size(), 3u) << "the limit is checked before asking for memory";
}

long ResidentKilobytes() {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("VmRSS:", 0) == 0) return std::stol(line.substr(6));
  }
  return -1;
}

TEST(KMX_uMemoryStock, BlocksReallyOccupyMemory) {
  constexpr std::int32_t count = 32;
  constexpr std::uint32_t size = 1u << 20;
  TMemoryStock stock;
  const long before = ResidentKilobytes();
  ASSERT_GT(before, 0);
  stock.ReallocateMemory(count, size);
  const long grown = ResidentKilobytes() - before;
  EXPECT_GE(grown, static_cast<long>(count) * (size / 1024) * 9 / 10) << "resident growth in KiB";
}

TEST(KMX_uMemoryStock, TopUpReturnsAtOnceWhileAReallocationRuns) {
  std::promise<void> entered;
  std::promise<void> release;
  std::shared_future<void> released = release.get_future().share();
  std::atomic<int> calls{0};
  std::atomic<bool> first{true};
  TMemoryStock stock([&](std::uint32_t) {
    ++calls;
    if (first.exchange(false)) {
      entered.set_value();
      released.wait();
    }
    return TMemoryBlock(new std::byte[1]());
  });

  std::thread reload([&] { stock.ReallocateMemory(3, 64); });
  entered.get_future().wait();
  stock.AllocateMemory();  // must neither block nor allocate
  EXPECT_EQ(calls, 1);
  release.set_value();
  reload.join();
  EXPECT_EQ(stock.LastBusyMemoryBlock(), 3);
  EXPECT_EQ(calls, 3);
}

TEST(KMX_uMemoryStock, ReallocationsAndTopUpsFromTwoThreadsKeepTheStockWhole) {
  TMemoryStock stock;
  std::atomic<bool> stop{false};
  std::thread timer([&] {
    while (!stop) stock.AllocateMemory();
  });
  for (int i = 0; i < 300; ++i) stock.ReallocateMemory(1 + i % 20, 512 + static_cast<std::uint32_t>(i % 7) * 512);
  stop = true;
  timer.join();
  EXPECT_EQ(stock.LastBusyMemoryBlock(), stock.BlockCount());
}

}  // namespace
}  // namespace kelvane
