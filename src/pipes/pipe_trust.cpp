#include "pipes/pipe_trust.h"

#include <cstring>
#include <cwchar>

#include "shared/owners.h"

namespace {

constexpr const wchar_t* kServiceName = L"Tarnswell";
// The most QueryServiceConfigW ever needs.
constexpr DWORD kServiceConfigRoom = 8 * 1024;
constexpr DWORD kDomainRoom = 256;

bool SameName(const wchar_t* a, const wchar_t* b) noexcept {
  return CompareStringOrdinal(a, -1, b, -1, TRUE) == CSTR_EQUAL;
}

// The spellings the service control manager takes for the built-in service accounts; the
// account look-up knows them under other names, or not at all ("LocalSystem").
struct BuiltInAccount {
  const wchar_t* name;
  WELL_KNOWN_SID_TYPE type;
};
constexpr BuiltInAccount kBuiltInAccounts[] = {
    {L"LocalSystem", WinLocalSystemSid},
    {L"NT AUTHORITY\\LocalService", WinLocalServiceSid},
    {L"NT AUTHORITY\\NetworkService", WinNetworkServiceSid},
};

// An identifier a service can run under: a user or computer account, a built-in service
// account, or a service's virtual account (S-1-5-80-...). A group is none, however it came to
// be configured: granting it would admit its every member.
bool IsServiceIdentity(PSID sid, SID_NAME_USE use) noexcept {
  if (use == SidTypeUser || use == SidTypeComputer) return true;
  if (IsWellKnownSid(sid, WinLocalSystemSid) || IsWellKnownSid(sid, WinLocalServiceSid) ||
      IsWellKnownSid(sid, WinNetworkServiceSid)) {
    return true;
  }
  const SID_IDENTIFIER_AUTHORITY* authority = GetSidIdentifierAuthority(sid);
  const SID_IDENTIFIER_AUTHORITY nt = SECURITY_NT_AUTHORITY;
  return authority != nullptr && std::memcmp(authority, &nt, sizeof(nt)) == 0 && *GetSidSubAuthorityCount(sid) > 0 &&
         *GetSidSubAuthority(sid, 0) == SECURITY_SERVICE_ID_BASE_RID;
}

bool ResolveAccount(const wchar_t* name, BYTE (&sid)[SECURITY_MAX_SID_SIZE], DWORD* error) noexcept {
  for (const BuiltInAccount& account : kBuiltInAccounts) {
    if (!SameName(name, account.name)) continue;
    DWORD size = sizeof(sid);
    if (CreateWellKnownSid(account.type, nullptr, sid, &size)) return true;
    *error = GetLastError();
    return false;
  }
  // ".\name": an account of this computer, which the look-up finds by its name alone.
  if (name[0] == L'.' && name[1] == L'\\') name += 2;
  DWORD sidSize = sizeof(sid);
  WCHAR domain[kDomainRoom];
  DWORD domainSize = kDomainRoom;
  SID_NAME_USE use = SidTypeUnknown;
  if (!LookupAccountNameW(nullptr, name, sid, &sidSize, domain, &domainSize, &use)) {
    *error = GetLastError();
    return false;
  }
  if (!IsServiceIdentity(sid, use)) {
    *error = ERROR_NO_SUCH_USER;
    return false;
  }
  return true;
}

}  // namespace

bool IsReceivingPipeOpenedByAdministrator(REGSAM view) noexcept {
  UniqueHKey key;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kModuleClassKey, 0, KEY_QUERY_VALUE | view, key.put()) != ERROR_SUCCESS) {
    return false;
  }
  DWORD value = 0, type = REG_NONE, size = sizeof(value);
  return RegQueryValueExW(key.get(), kOpenPipeValue, nullptr, &type, reinterpret_cast<BYTE*>(&value), &size) ==
             ERROR_SUCCESS &&
         type == REG_DWORD && value != 0;
}

ServiceAccountResult ReadServiceAccount(ServiceAccount& account, DWORD* error) noexcept {
  account.name[0] = L'\0';
  *error = ERROR_SUCCESS;
  const UniqueScHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
  const UniqueScHandle service(manager ? OpenServiceW(manager.get(), kServiceName, SERVICE_QUERY_CONFIG) : nullptr);
  alignas(QUERY_SERVICE_CONFIGW) BYTE buffer[kServiceConfigRoom];
  auto* config = reinterpret_cast<QUERY_SERVICE_CONFIGW*>(buffer);
  DWORD needed = 0;
  if (!service || !QueryServiceConfigW(service.get(), config, kServiceConfigRoom, &needed)) {
    *error = GetLastError();
    return ServiceAccountResult::kUnreadable;
  }
  // A service of its own process configured without an account runs as LocalSystem.
  const wchar_t* name = config->lpServiceStartName;
  if (name == nullptr || name[0] == L'\0') name = kBuiltInAccounts[0].name;
  if (wcslen(name) >= ARRAYSIZE(account.name)) {
    *error = ERROR_INVALID_ACCOUNT_NAME;
    return ServiceAccountResult::kUnresolvable;
  }
  wcscpy(account.name, name);
  return ResolveAccount(name, account.sid, error) ? ServiceAccountResult::kResolved
                                                  : ServiceAccountResult::kUnresolvable;
}
