#pragma once
// The general-purpose allocator for blocks that cross threads inside the module (the copies
// that travel with translation messages). The thread that receives a block frees it.

#include <windows.h>
#include <cstddef>
#include <memory>

// Returns nullptr when the memory cannot be had; never throws.
[[nodiscard]] void* AllocBlock(std::size_t bytes) noexcept;
void FreeBlock(void* block) noexcept;
// The bytes a block from AllocBlock holds (what was asked for; 1 for a request of 0 bytes).
// 0 for nullptr. Lets a receiver check a length field against what actually travelled.
[[nodiscard]] std::size_t BlockSize(const void* block) noexcept;

struct BlockDeleter {
  void operator()(void* block) const noexcept { FreeBlock(block); }
};
using UniqueBlock = std::unique_ptr<BYTE, BlockDeleter>;

// Test seam: while set, every AllocBlock on the thread with this id fails (0 clears it). Out of
// memory cannot be produced on demand otherwise.
void SetAllocBlockFailureThread(DWORD threadId) noexcept;

// Figures for soak tests and the benchmark: blocks and bytes handed out so far, and how many
// are still live.
struct BlockCounters {
  LONG64 allocations;
  LONG64 bytes;
  LONG64 live;
};
[[nodiscard]] BlockCounters GetBlockCounters() noexcept;
