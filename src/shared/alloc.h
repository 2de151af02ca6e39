#pragma once
// The growable memory block: one movable, zero-filled global-memory block of an exact size,
// created on first use and resized on later calls. The handle (and the optional pointer slot
// with the caller's lock) belong to the caller, who releases the block with one GlobalUnlock
// and GlobalFree. Failures go to the error log with their source position.

#include <windows.h>

// Flags of every allocation and reallocation of the block.
constexpr UINT kAllocateMemoryFlags = GMEM_MOVEABLE | GMEM_ZEROINIT;  // 0x42

// Any thread; the handle and slot belong to one caller.
// Makes *phMemory a block of exactly `size` bytes (new bytes zero, contents kept up to the
// smaller size). With a slot (ppMemory not null) each successful call takes one lock of its
// own and stores the address in *ppMemory; a resize first gives up the lock the slot held.
// TRUE on success. Size 0: FALSE, the block and slot untouched. A failed allocation or
// reallocation: FALSE, and the caller holds no block any more (handle and slot null). A failed
// lock: FALSE, the block kept unlocked, the slot null.
BOOL AllocateMemory(DWORD size, HGLOBAL* phMemory, void** ppMemory) noexcept;

// Test seam: the two platform calls that create and resize the block, so that tests can make
// them fail (a real allocation failure cannot be brought about on demand). Null arguments
// restore GlobalAlloc and GlobalReAlloc.
using GlobalAllocCall = HGLOBAL(WINAPI*)(UINT flags, SIZE_T bytes);
using GlobalReAllocCall = HGLOBAL(WINAPI*)(HGLOBAL block, SIZE_T bytes, UINT flags);
void SetAllocateMemoryCalls(GlobalAllocCall alloc, GlobalReAllocCall reAlloc) noexcept;
