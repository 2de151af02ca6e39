#pragma once
// The real translation thread with an observer in TranslateCommand's place: every translation
// message it takes is recorded in order, its DataIo packet copied and freed as TranslateCommand
// would. `hook`, when set, runs on the translation thread before a message is recorded.

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
  std::vector<BYTE> packet;
};

class TranslationObserver {
 public:
  TranslationObserver() {
    s_self = this;
    SetTranslateCommandHandler(&Handle);
    StartTranslationLayer();
    // Posts fail until the thread's queue exists; the loop drops this one unseen.
    for (int i = 0; i < 250 && !PostThreadMessageW(g_dwTLThreadId, WM_USER, 0, 0); ++i) Sleep(20);
  }
  ~TranslationObserver() {
    StopTranslationLayer();
    WaitForSingleObject(g_hTLThread, 5000);
    SetTranslateCommandHandler(nullptr);
    CloseHandle(m_changed);
  }
  TranslationObserver(const TranslationObserver&) = delete;
  TranslationObserver& operator=(const TranslationObserver&) = delete;

  std::vector<Observed> Seen() const {
    AcquireSRWLockShared(&m_lock);
    auto copy = m_seen;
    ReleaseSRWLockShared(&m_lock);
    return copy;
  }
  bool WaitFor(std::size_t count) const {
    for (int i = 0; i < 100 && Seen().size() < count; ++i) WaitForSingleObject(m_changed, 50);
    return Seen().size() >= count;
  }

  void (*volatile hook)(const Observed&) = nullptr;

 private:
  static void Handle(std::uint16_t command, void* block, WCHAR letter, std::uint8_t direction) {
    Observed seen{command, letter, direction, block != nullptr, {}};
    if (block != nullptr) {
      const auto* bytes = static_cast<const BYTE*>(block);
      seen.packet.assign(bytes, bytes + kDataIoHeaderSize + static_cast<const DataIoHeader*>(block)->BodyLength);
      FreeBlock(block);
    }
    if (s_self->hook != nullptr) s_self->hook(seen);
    AcquireSRWLockExclusive(&s_self->m_lock);
    s_self->m_seen.push_back(std::move(seen));
    ReleaseSRWLockExclusive(&s_self->m_lock);
    SetEvent(s_self->m_changed);
  }

  static inline TranslationObserver* s_self = nullptr;
  mutable SRWLOCK m_lock = SRWLOCK_INIT;
  std::vector<Observed> m_seen;
  HANDLE m_changed = CreateEventW(nullptr, FALSE, FALSE, nullptr);
};

// A DataIo block as the GUI builds one; `claimed` overrides BodyLength.
inline HGLOBAL MakeGuiBlock(std::uint32_t command, const void* body, std::uint32_t length,
                            std::uint32_t claimed = UINT32_MAX) {
  HGLOBAL block = GlobalAlloc(GMEM_MOVEABLE | GMEM_ZEROINIT, kDataIoHeaderSize + length + kDataIoTrailerSize);
  auto* header = static_cast<DataIoHeader*>(GlobalLock(block));
  *header = MakeDataIoHeader(command, claimed == UINT32_MAX ? length : claimed);
  if (length != 0) std::memcpy(DataIoBody(header), body, length);
  GlobalUnlock(block);
  return block;
}
