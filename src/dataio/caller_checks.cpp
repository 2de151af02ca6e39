#include "dataio/caller_checks.h"

#include <climits>
#include <cwchar>
#include <memory>
#include <new>

#include "shared/owners.h"

namespace {

constexpr const wchar_t* kVersionKey = L"SOFTWARE\\Pellmark\\Tarnswell\\CurrentVersion";
constexpr const wchar_t* kBuildNumberValue = L"BuildNumber";
constexpr DWORD kValueRoomChars = 260;
RemoteBuildNumberRead volatile g_remoteBuildNumberRead = nullptr;

// Ends the text inside what a query returned: the code unit at (bytes / 2) - 1 becomes 0, so a
// stored terminator stays and a value stored without one loses its last character. Fewer
// than 2 bytes give the empty text. Never writes past `room` bytes (the size on entry).
void EndTextInData(WCHAR* buffer, DWORD returned, DWORD room) noexcept {
  if (buffer == nullptr) return;
  if (returned > room) returned = room;
  if (returned >= sizeof(WCHAR)) {
    buffer[returned / sizeof(WCHAR) - 1] = L'\0';
  } else if (room >= sizeof(WCHAR)) {
    buffer[0] = L'\0';
  }
}

// The number after the last '.', read as decimal digits up to the first other character;
// 0 without a '.'. Too many digits stop at LONG_MAX.
LONG BuildNumberFromVersion(const WCHAR* text) noexcept {
  const WCHAR* dot = wcsrchr(text, L'.');
  if (dot == nullptr) return 0;
  long long number = 0;
  for (const WCHAR* p = dot + 1; *p >= L'0' && *p <= L'9'; ++p) {
    number = number * 10 + (*p - L'0');
    if (number > LONG_MAX) return LONG_MAX;
  }
  return static_cast<LONG>(number);
}

}  // namespace

// Any thread (the GUI's, inside SetData). Takes and releases the process token, its group
// list and the Administrators identifier.
BOOL IsAdministrator() noexcept {
  std::unique_ptr<BYTE[]> groupBuffer;
  {
    UniqueHandle token;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_READ, token.put())) return FALSE;
    DWORD size = 0;
    if (!GetTokenInformation(token.get(), TokenGroups, nullptr, 0, &size) &&
        GetLastError() != ERROR_INSUFFICIENT_BUFFER) {
      return FALSE;
    }
    if (size < sizeof(TOKEN_GROUPS)) return FALSE;
    groupBuffer.reset(new (std::nothrow) BYTE[size]);
    if (!groupBuffer || !GetTokenInformation(token.get(), TokenGroups, groupBuffer.get(), size, &size)) {
      return FALSE;
    }
  }

  SID_IDENTIFIER_AUTHORITY ntAuthority = SECURITY_NT_AUTHORITY;
  UniqueSid administrators;
  if (!AllocateAndInitializeSid(&ntAuthority, 2, SECURITY_BUILTIN_DOMAIN_RID, DOMAIN_ALIAS_RID_ADMINS, 0, 0, 0,
                                0, 0, 0, administrators.put()) ||
      !IsValidSid(administrators.get())) {
    return FALSE;
  }
  // Membership alone counts, whatever the group's attributes (also "for deny only").
  const auto* groups = reinterpret_cast<const TOKEN_GROUPS*>(groupBuffer.get());
  for (DWORD i = 0; i < groups->GroupCount; ++i) {
    const PSID sid = groups->Groups[i].Sid;
    if (sid != nullptr && IsValidSid(sid) && EqualSid(sid, administrators.get())) return TRUE;
  }
  return FALSE;
}

void SetRemoteBuildNumberRead(RemoteBuildNumberRead read) noexcept { g_remoteBuildNumberRead = read; }

// Any thread (the GUI's, inside SetData). Closes whatever key the read opened.
BOOL GetServiceBuildNumber(const wchar_t* machineName, LONG* pBuildNumber) noexcept {
  if (machineName == nullptr) return FALSE;
  WCHAR computer[MAX_COMPUTERNAME_LENGTH + 1];
  DWORD computerSize = MAX_COMPUTERNAME_LENGTH + 1;
  if (!GetComputerNameW(computer, &computerSize)) return FALSE;

  WCHAR value[kValueRoomChars] = {};
  DWORD size = sizeof(value);
  UniqueHKey key;
  LONG status;
  if (lstrcmpiW(computer, machineName) == 0) {
    status = QueryRegistryString(key.put(), kVersionKey, kBuildNumberValue, value, &size);
  } else if (RemoteBuildNumberRead read = g_remoteBuildNumberRead) {
    status = read(machineName, value, &size);
  } else {
    status = QueryRemoteRegistryString(machineName, key.put(), kVersionKey, kBuildNumberValue, value, &size);
  }
  key.reset();
  if (status != ERROR_SUCCESS) return FALSE;

  // The text may have arrived without any terminator inside the buffer.
  value[kValueRoomChars - 1] = L'\0';
  if (pBuildNumber != nullptr) *pBuildNumber = BuildNumberFromVersion(value);
  return TRUE;
}

LONG QueryRemoteRegistryString(const wchar_t* machineName, HKEY* phKey, const wchar_t* subKey,
                               const wchar_t* valueName, WCHAR* buffer, DWORD* pcbBuffer) noexcept {
  if (phKey == nullptr || pcbBuffer == nullptr) return ERROR_INVALID_PARAMETER;
  const DWORD room = buffer != nullptr ? *pcbBuffer : 0;
  // The remote root is closed on every way out; the opened key stays with the caller.
  UniqueHKey root;
  if (*phKey == nullptr) {
    LONG status = RegConnectRegistryW(machineName, HKEY_LOCAL_MACHINE, root.put());
    if (status != ERROR_SUCCESS) return status;
    HKEY key = nullptr;
    status = RegOpenKeyExW(root.get(), subKey, 0, KEY_QUERY_VALUE, &key);
    if (status != ERROR_SUCCESS) return status;
    *phKey = key;
  }
  const LONG status = RegQueryValueExW(*phKey, valueName, nullptr, nullptr, reinterpret_cast<BYTE*>(buffer), pcbBuffer);
  if (status != ERROR_SUCCESS) return status;
  root.reset();
  // Whatever the value's type, its bytes are read as text ended inside what was returned.
  EndTextInData(buffer, *pcbBuffer, room);
  return ERROR_SUCCESS;
}

LONG QueryRegistryString(HKEY* phKey, const wchar_t* subKey, const wchar_t* valueName, WCHAR* buffer,
                         DWORD* pcbBuffer) noexcept {
  if (phKey == nullptr || pcbBuffer == nullptr) return ERROR_INVALID_PARAMETER;
  const DWORD room = buffer != nullptr ? *pcbBuffer : 0;
  if (*phKey == nullptr) {
    HKEY key = nullptr;
    const LONG status = RegOpenKeyExW(HKEY_LOCAL_MACHINE, subKey, 0, KEY_QUERY_VALUE, &key);
    if (status != ERROR_SUCCESS) return status;
    *phKey = key;
  }
  // The key stays open for the caller to close, also after a failed query.
  const LONG status = RegQueryValueExW(*phKey, valueName, nullptr, nullptr, reinterpret_cast<BYTE*>(buffer), pcbBuffer);
  if (status == ERROR_SUCCESS) EndTextInData(buffer, *pcbBuffer, room);
  return status;
}
