#pragma once
// The security descriptors the receiving pipe is created with. For a service on this computer
// the pipe admits LocalSystem, the Administrators group and the service's own account, nobody
// else; for a service on another computer, which reaches it as a network caller under an
// account unknown here, it admits every caller (a present but null access list).

#include <windows.h>

// Whom a receiving pipe instance admits.
enum class PipeAdmission {
  kServiceOnThisComputer,  // the protected access list
  kAnyCaller,              // the null access list
};

// Both descriptors of one layer's receiving pipe, built once when its pipe thread starts. The
// access list falls back to the null one, traced, when it cannot be built or when the
// administrator's switch (pipe_trust.h) is set. Pipe thread only; it does not move, since the
// descriptors point into it.
class ReceivingPipeSecurity {
 public:
  ReceivingPipeSecurity() noexcept;
  ReceivingPipeSecurity(const ReceivingPipeSecurity&) = delete;
  ReceivingPipeSecurity& operator=(const ReceivingPipeSecurity&) = delete;

  // False when not even the null access list could be made: no instance can be created.
  [[nodiscard]] bool usable() const noexcept { return m_openBuilt; }

  // The attributes (inheritable handle) for an instance that is to admit `admission`, after
  // the trace line that says which descriptor it gets. nullptr when !usable().
  SECURITY_ATTRIBUTES* ForInstance(PipeAdmission admission) noexcept;

 private:
  enum class AccessList { kBuilt, kSwitchedOff, kFailed };
  bool BuildAccessList() noexcept;

  // Room for the access list: its header and three grants of the largest identifier.
  static constexpr DWORD kAclRoom = sizeof(ACL) + 3 * (sizeof(ACCESS_ALLOWED_ACE) + SECURITY_MAX_SID_SIZE);

  SECURITY_DESCRIPTOR m_open{};
  SECURITY_DESCRIPTOR m_restricted{};
  alignas(DWORD) BYTE m_acl[kAclRoom] = {};
  bool m_openBuilt = false;
  AccessList m_accessList = AccessList::kFailed;
  SECURITY_ATTRIBUTES m_attributes{};
};
