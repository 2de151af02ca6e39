#pragma once
// Runs the real translation thread with an observer in TranslateCommand's place: every
// translation message it takes is recorded (its block copied and freed as TranslateCommand
// would), in order.

#include <windows.h>
#include <cstdint>
#include <cstring>
#include <vector>

#include "dataio/dataio_packet.h"
#include "shared/block.h"
#include "translation/translation_thread.h"

struct Observed {
  std::uint16_t command;
  WCHAR letter;
  std::uint8_t direction;
  bool hadBlock;
  std::vector<BYTE> packet;  // header and body of a DataIo packet
};

class TranslationObserver {
 public:
  // Called on the translation thread before a message is recorded.
  using Hook = void (*)(const Observed&);

  TranslationObserver() {
    s_self = this;
    SetTranslateCommandHandler(&TranslationObserver::Handle);
    StartTranslationLayer();
    // Posts fail until the thread's queue exists; the loop drops this one unseen.
    for (int i = 0; i < 250 && !PostThreadMessageW(g_dwTLThreadId, WM_USER, 0, 0); ++i) Sleep(20);
  }
  ~TranslationObserver() {
    StopTranslationLayer();
    if (g_hTLThread != nullptr) WaitForSingleObject(g_hTLThread, 5000);
    SetTranslateCommandHandler(nullptr);
    s_self = nullptr;
    CloseHandle(m_changed);
  }
  TranslationObserver(const TranslationObserver&) = delete;
  TranslationObserver& operator=(const TranslationObserver&) = delete;

  void SetHook(Hook hook) { m_hook = hook; }
  std::vector<Observed> Seen() const {
    AcquireSRWLockShared(&m_lock);
    auto copy = m_seen;
    ReleaseSRWLockShared(&m_lock);
    return copy;
  }
  bool WaitFor(std::size_t count, DWORD timeoutMs = 5000) const {
    const ULONGLONG deadline = GetTickCount64() + timeoutMs;
    while (Seen().size() < count) {
      const ULONGLONG now = GetTickCount64();
      if (now >= deadline) return false;
      WaitForSingleObject(m_changed, static_cast<DWORD>(deadline - now));
    }
    return true;
  }

 private:
  static void Handle(std::uint16_t command, void* block, WCHAR letter, std::uint8_t direction) {
    Observed seen{command, letter, direction, block != nullptr, {}};
    if (block != nullptr) {
      const auto* header = static_cast<const DataIoHeader*>(block);
      const auto* bytes = static_cast<const BYTE*>(block);
      seen.packet.assign(bytes, bytes + kDataIoHeaderSize + header->BodyLength);
      FreeBlock(block);
    }
    TranslationObserver* self = s_self;
    if (self == nullptr) return;
    if (self->m_hook != nullptr) self->m_hook(seen);
    AcquireSRWLockExclusive(&self->m_lock);
    self->m_seen.push_back(std::move(seen));
    ReleaseSRWLockExclusive(&self->m_lock);
    SetEvent(self->m_changed);
  }

  static inline TranslationObserver* volatile s_self = nullptr;
  Hook volatile m_hook = nullptr;
  mutable SRWLOCK m_lock = SRWLOCK_INIT;
  std::vector<Observed> m_seen;
  HANDLE m_changed = CreateEventW(nullptr, FALSE, FALSE, nullptr);
};

// A DataIo block as the GUI builds one: header, body, four zero bytes.
inline HGLOBAL MakeGuiBlock(std::uint32_t command, const void* body, std::uint32_t length,
                            std::uint16_t reserved2 = 1, std::uint32_t claimedLength = UINT32_MAX) {
  HGLOBAL block = GlobalAlloc(GMEM_MOVEABLE | GMEM_ZEROINIT, kDataIoHeaderSize + length + kDataIoTrailerSize);
  auto* header = static_cast<DataIoHeader*>(GlobalLock(block));
  *header = MakeDataIoHeader(command, claimedLength == UINT32_MAX ? length : claimedLength);
  header->Reserved2 = reserved2;
  if (length != 0) std::memcpy(DataIoBody(header), body, length);
  GlobalUnlock(block);
  return block;
}
