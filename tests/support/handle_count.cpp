#include "support/handle_count.h"

#include <algorithm>
#include <vector>

namespace {

// The system's handle table, as NtQuerySystemInformation lists it (SystemHandleInformation).
struct SystemHandleEntry {
  ULONG ownerPid;
  BYTE objectType;
  BYTE flags;
  USHORT value;
  void* object;
  ULONG access;
};
struct SystemHandleTable {
  ULONG count;
  SystemHandleEntry entries[1];
};

}  // namespace

DWORD OpenHandleCount() {
  DWORD handles = 0;
  GetProcessHandleCount(GetCurrentProcess(), &handles);
  if (handles != 0) return handles;
  // Wine leaves the count at 0 but lists the system's handles in one call.
  using QueryFunction = LONG(WINAPI*)(int, void*, ULONG, ULONG*);
  const auto query = reinterpret_cast<QueryFunction>(
      reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "NtQuerySystemInformation")));
  constexpr int kSystemHandleInformation = 16;
  std::vector<BYTE> buffer(1 << 20);
  for (int tries = 0; query != nullptr && tries < 5; ++tries) {
    ULONG needed = 0;
    const LONG status = query(kSystemHandleInformation, buffer.data(), static_cast<ULONG>(buffer.size()), &needed);
    if (status == 0) {
      const auto* table = reinterpret_cast<const SystemHandleTable*>(buffer.data());
      const DWORD pid = GetCurrentProcessId();
      for (ULONG i = 0; i < table->count; ++i) handles += table->entries[i].ownerPid == pid;
      return handles;
    }
    buffer.resize(std::max<std::size_t>(buffer.size() * 2, needed + 4096));
  }
  // Else by probing: handle values are handed out from the bottom, so a long run of free
  // values ends the table.
  DWORD misses = 0;
  for (ULONG_PTR value = 4; misses < 1024; value += 4) {
    DWORD flags = 0;
    if (GetHandleInformation(reinterpret_cast<HANDLE>(value), &flags)) {
      ++handles;
      misses = 0;
    } else {
      ++misses;
    }
  }
  return handles;
}
