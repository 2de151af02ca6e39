#include "shared/block.h"

namespace {
volatile LONG64 g_allocations = 0;
volatile LONG64 g_bytes = 0;
volatile LONG64 g_live = 0;
volatile DWORD g_failingThread = 0;
}  // namespace

void* AllocBlock(std::size_t bytes) noexcept {
  const DWORD failing = g_failingThread;
  if (failing != 0 && failing == GetCurrentThreadId()) return nullptr;
  void* block = HeapAlloc(GetProcessHeap(), 0, bytes == 0 ? 1 : bytes);
  if (block != nullptr) {
    InterlockedIncrement64(&g_allocations);
    InterlockedExchangeAdd64(&g_bytes, static_cast<LONG64>(bytes));
    InterlockedIncrement64(&g_live);
  }
  return block;
}

void FreeBlock(void* block) noexcept {
  if (block == nullptr) return;
  InterlockedDecrement64(&g_live);
  HeapFree(GetProcessHeap(), 0, block);
}

void SetAllocBlockFailureThread(DWORD threadId) noexcept { g_failingThread = threadId; }

std::size_t BlockSize(const void* block) noexcept {
  if (block == nullptr) return 0;
  const SIZE_T size = HeapSize(GetProcessHeap(), 0, block);
  return size == static_cast<SIZE_T>(-1) ? 0 : size;
}

BlockCounters GetBlockCounters() noexcept {
  return BlockCounters{InterlockedCompareExchange64(&g_allocations, 0, 0),
                       InterlockedCompareExchange64(&g_bytes, 0, 0),
                       InterlockedCompareExchange64(&g_live, 0, 0)};
}
