#pragma once
// The whole link for the robustness tests, with a trace observer that counts instead of
// keeping every line (a run sends hundreds of thousands of inputs), and a check that a valid
// session still works both ways.

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <deque>
#include <string>

#include "shared/trace.h"
#include "support/bytes.h"
#include "support/linked_layer.h"
#include "handoff/commands.h"
#include "translation/link_fixture.h"

constexpr DWORD kRobustTimeout = 60000;

// Counts the module's trace lines by kind and keeps the last few for a failure's message.
class TraceCounter {
 public:
  TraceCounter() { SetTraceObserver(&TraceCounter::Observe, this); }
  ~TraceCounter() { SetTraceObserver(nullptr, nullptr); }
  TraceCounter(const TraceCounter&) = delete;
  TraceCounter& operator=(const TraceCounter&) = delete;

  LONG64 lines() const { return Read(m_lines); }
  // "TranslateCommand received Command ... from 4.0 Controller": a service message handled.
  LONG64 fromService() const { return Read(m_fromService); }
  // "PipeIn - ... packet dropped": a service packet refused before translation.
  LONG64 pipeDrops() const { return Read(m_pipeDrops); }
  // "PmkDataObject::SetData ...": what the module's data object did with a block.
  LONG64 setDataLines() const { return Read(m_setData); }
  // Lines saying an input was dropped, refused or ignored anywhere in the module.
  LONG64 drops() const { return Read(m_drops); }
  // "DataIoClientSetData falied": a packet the GUI's object refused.
  LONG64 guiRefusals() const { return Read(m_guiRefusals); }

  static std::string Narrow(const std::wstring& text) {
    std::string narrow;
    for (wchar_t c : text) narrow.push_back(c < 0x80 ? static_cast<char>(c) : '?');
    return narrow;
  }

  std::string Tail() const {
    AcquireSRWLockShared(&m_lock);
    std::string text;
    for (const std::wstring& line : m_tail) {
      for (wchar_t c : line) text.push_back(c < 0x80 ? static_cast<char>(c) : '?');
    }
    ReleaseSRWLockShared(&m_lock);
    return text;
  }

 private:
  static LONG64 Read(const volatile LONG64& v) { return InterlockedCompareExchange64(const_cast<LONG64*>(&v), 0, 0); }
  static bool Starts(const wchar_t* line, const wchar_t* prefix) { return wcsncmp(line, prefix, wcslen(prefix)) == 0; }
  static void Observe(const wchar_t* line, void* context) {
    auto* self = static_cast<TraceCounter*>(context);
    if (Starts(line, L"Thread ")) return;  // the thread half of a pair
    InterlockedIncrement64(&self->m_lines);
    if (Starts(line, L"TranslateCommand received Command") && wcsstr(line, L"from 4.0 Controller") != nullptr) {
      InterlockedIncrement64(&self->m_fromService);
    }
    if (Starts(line, L"PipeIn - ") && wcsstr(line, L"packet dropped") != nullptr) {
      InterlockedIncrement64(&self->m_pipeDrops);
    }
    if (Starts(line, L"PmkDataObject::SetData")) InterlockedIncrement64(&self->m_setData);
    if (Starts(line, L"DataIoClientSetData falied")) InterlockedIncrement64(&self->m_guiRefusals);
    if (wcsstr(line, L"dropped") != nullptr || wcsstr(line, L"refused") != nullptr ||
        wcsstr(line, L"ignored") != nullptr || wcsstr(line, L"unknown message") != nullptr) {
      InterlockedIncrement64(&self->m_drops);
    }
    AcquireSRWLockExclusive(&self->m_lock);
    self->m_tail.emplace_back(line);
    if (self->m_tail.size() > 40) self->m_tail.pop_front();
    ReleaseSRWLockExclusive(&self->m_lock);
  }

  volatile LONG64 m_lines = 0;
  volatile LONG64 m_fromService = 0;
  volatile LONG64 m_pipeDrops = 0;
  volatile LONG64 m_setData = 0;
  volatile LONG64 m_drops = 0;
  volatile LONG64 m_guiRefusals = 0;
  mutable SRWLOCK m_lock = SRWLOCK_INIT;
  std::deque<std::wstring> m_tail;
};

// The seed a run starts from: COBALIN_FUZZ_SEED replays a printed one.
inline std::uint64_t BaseSeed(std::uint64_t fallback) {
  const char* text = std::getenv("COBALIN_FUZZ_SEED");
  return text != nullptr && *text != '\0' ? std::strtoull(text, nullptr, 0) : fallback;
}

class RobustLink : public ::testing::Test {
 protected:
  void SetUp() override {
    if (connectInSetUp) {
      ASSERT_TRUE(link.Connect(kRobustTimeout)) << "link step failed";
    }
  }
  bool connectInSetUp = true;
  void TearDown() override {
    if (HasFailure()) std::printf("---- last module trace lines ----\n%s---- end ----\n", counter.Tail().c_str());
  }

  // Waits for a GUI packet from index `from` on with this command and body; its index, or
  // SIZE_MAX when none came in time.
  std::size_t WaitForGuiPacket(std::size_t from, std::uint32_t command, const std::vector<BYTE>& body, DWORD timeoutMs) {
    const ULONGLONG deadline = GetTickCount64() + timeoutMs;
    std::size_t scanned = from;
    for (;;) {
      const auto packets = link.gui.PacketsFrom(scanned);
      for (std::size_t i = 0; i < packets.size(); ++i) {
        if (packets[i].command == command && packets[i].body == body) return scanned + i;
      }
      scanned += packets.size();
      if (GetTickCount64() >= deadline) return SIZE_MAX;
      link.gui.WaitForCount(scanned + 1, 50);
    }
  }
  bool WaitForServicePacket(std::size_t from, std::uint32_t command, WCHAR drive, DWORD timeoutMs) {
    const ULONGLONG deadline = GetTickCount64() + timeoutMs;
    std::size_t scanned = from;
    for (;;) {
      const auto packets = link.service.PacketsFrom(scanned);
      for (const ServicePacket& p : packets) {
        if (p.header.dwCommand == command && p.header.cDrive == drive) return true;
      }
      scanned += packets.size();
      if (GetTickCount64() >= deadline) return false;
      link.service.WaitForCount(scanned + 1, 50);
    }
  }

  // A marker through the service's side: passed to the GUI as it came, so once it is there
  // every service packet written before it has been handled.
  static std::vector<BYTE> Marker(std::uint32_t tag) { return Bytes(16).U32(0, 0x4B52414Du).U32(4, tag); }
  void SettleServiceSide(std::uint32_t tag) {
    const std::size_t gui0 = link.gui.Count();
    ASSERT_TRUE(link.service.Send(TW4_0::ID_NEW_LOG_DATA, 0, Marker(tag)));
    ASSERT_NE(SIZE_MAX, WaitForGuiPacket(gui0, TW4_5::ID_RECEIVE_LOG_DATA, Marker(tag), kRobustTimeout))
        << "marker " << tag << " did not reach the GUI";
  }

  // A valid session both ways: the service's drive data reaches the GUI as a drive list, and
  // the GUI's analysis of C reaches the service.
  void ExpectSessionWorks(std::uint32_t tag) {
    const std::size_t gui0 = link.gui.Count();
    ASSERT_TRUE(link.service.Send(TW4_0::ID_DRIVE_DATA, 0, DriveDataBody({})));
    SettleServiceSide(tag);
    bool driveList = false;
    for (const GuiPacket& p : link.gui.PacketsFrom(gui0)) {
      driveList |= p.target == L"GUI" && p.command == TW4_5::ID_RECEIVE_DRIVE_DATA && p.body.size() == 9776;
    }
    EXPECT_TRUE(driveList) << "no drive list after the drive data (tag " << tag << ")";
    const std::size_t service0 = link.service.Count();
    ASSERT_EQ(S_OK, link.ToService(TW4_5::ID_ANALYZE, OperationBody(L'C')));
    EXPECT_TRUE(WaitForServicePacket(service0, TW4_0::ID_START_ANALYZE, L'C', kRobustTimeout))
        << "the analysis did not reach the service (tag " << tag << ")";
  }

  TraceCounter counter;
  LinkedLayer link;
};
