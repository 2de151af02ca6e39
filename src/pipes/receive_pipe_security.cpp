#include "pipes/receive_pipe_security.h"

#include "pipes/pipe_trust.h"
#include "shared/trace.h"

ReceivingPipeSecurity::ReceivingPipeSecurity() noexcept {
  if (!InitializeSecurityDescriptor(&m_open, SECURITY_DESCRIPTOR_REVISION)) {
    Trace(L"Error #%ld - PipeIn - WaitForClientConnection - InitializeSecurityDescriptor",
          static_cast<long>(GetLastError()));
    return;
  }
  // A present but null access list: any account of any machine may connect.
  if (!SetSecurityDescriptorDacl(&m_open, TRUE, nullptr, FALSE)) {
    Trace(L"Error #%ld - PipeIn - WaitForClientConnection - SetSecurityDescriptor", static_cast<long>(GetLastError()));
    return;
  }
  m_openBuilt = true;

  if (IsReceivingPipeOpenedByAdministrator()) {
    m_accessList = AccessList::kSwitchedOff;
  } else if (BuildAccessList()) {
    m_accessList = AccessList::kBuilt;
  } else {
    Trace(L"Error #%ld - ReceivingPipeSecurity - access list not built", static_cast<long>(GetLastError()));
    Trace(L"ReceivingPipeSecurity - the receiving pipe falls back to admitting every caller\n");
  }
}

// LocalSystem, the Administrators group and the service's account, each with full access;
// protected, so that nothing is inherited into it.
bool ReceivingPipeSecurity::BuildAccessList() noexcept {
  BYTE system[SECURITY_MAX_SID_SIZE];
  BYTE administrators[SECURITY_MAX_SID_SIZE];
  DWORD size = sizeof(system);
  if (!CreateWellKnownSid(WinLocalSystemSid, nullptr, system, &size)) return false;
  size = sizeof(administrators);
  if (!CreateWellKnownSid(WinBuiltinAdministratorsSid, nullptr, administrators, &size)) return false;

  PSID grants[3] = {system, administrators, nullptr};
  DWORD count = 2;
  ServiceAccount account;
  DWORD error = ERROR_SUCCESS;
  switch (ReadServiceAccount(account, &error)) {
    case ServiceAccountResult::kResolved:
      if (!EqualSid(account.sid, system) && !EqualSid(account.sid, administrators)) grants[count++] = account.sid;
      break;
    case ServiceAccountResult::kUnreadable:
      Trace(L"ReceivingPipeSecurity - the service's account cannot be read (error %ld); left out\n",
            static_cast<long>(error));
      break;
    case ServiceAccountResult::kUnresolvable:
      Trace(L"ReceivingPipeSecurity - the service's account \"%ls\" cannot be resolved (error %ld); left out\n",
            account.name, static_cast<long>(error));
      break;
  }

  DWORD aclSize = sizeof(ACL);
  for (DWORD i = 0; i < count; ++i) aclSize += sizeof(ACCESS_ALLOWED_ACE) - sizeof(DWORD) + GetLengthSid(grants[i]);
  auto* acl = reinterpret_cast<ACL*>(m_acl);
  if (aclSize > kAclRoom) {
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return false;
  }
  if (!InitializeAcl(acl, aclSize, ACL_REVISION)) return false;
  for (DWORD i = 0; i < count; ++i) {
    if (!AddAccessAllowedAce(acl, ACL_REVISION, FILE_ALL_ACCESS, grants[i])) return false;
  }
  return InitializeSecurityDescriptor(&m_restricted, SECURITY_DESCRIPTOR_REVISION) &&
         SetSecurityDescriptorDacl(&m_restricted, TRUE, acl, FALSE) &&
         SetSecurityDescriptorControl(&m_restricted, SE_DACL_PROTECTED, SE_DACL_PROTECTED);
}

SECURITY_ATTRIBUTES* ReceivingPipeSecurity::ForInstance(PipeAdmission admission) noexcept {
  if (!m_openBuilt) return nullptr;
  SECURITY_DESCRIPTOR* descriptor = &m_open;
  if (admission == PipeAdmission::kAnyCaller) {
    Trace(L"WaitForClientConnection - receiving pipe admits every caller: the service is on another computer\n");
  } else if (m_accessList == AccessList::kBuilt) {
    descriptor = &m_restricted;
    Trace(L"WaitForClientConnection - receiving pipe admits LocalSystem, the Administrators and the service's "
          L"account only\n");
  } else if (m_accessList == AccessList::kSwitchedOff) {
    Trace(L"WaitForClientConnection - receiving pipe admits every caller: %ls is set\n", kOpenPipeValue);
  } else {
    Trace(L"WaitForClientConnection - receiving pipe admits every caller: its access list could not be built\n");
  }
  m_attributes = SECURITY_ATTRIBUTES{sizeof(m_attributes), descriptor, TRUE};
  return &m_attributes;
}
