// The access-control functions of advapi32, bound at run time by name from
// the System folder's copy of the library rather than linked. A table lives
// for one operation (GrantEveryoneFullAccess, or one walk of the folder
// checks in paths/folder_security.h) and is destroyed after it.
#pragma once

#include <windows.h>

#include <aclapi.h>

#include "common/unique_handle.h"

namespace Trevalk {

class SecurityApiTable {
 public:
  // The names bound, in binding order; binding fails unless all are found.
  static constexpr int kFunctionCount = 26;
  static const char* const kFunctionNames[kFunctionCount];

  // Asks once whether the platform is the NT line; unbound.
  SecurityApiTable();
  // For tests and callers that already know the platform.
  explicit SecurityApiTable(bool ntPlatform);
  virtual ~SecurityApiTable();
  SecurityApiTable(const SecurityApiTable&) = delete;
  SecurityApiTable& operator=(const SecurityApiTable&) = delete;

  // Loads advapi32.dll from the System folder (once per table) and looks up
  // every name. True only when the library is loaded and all 26 were found.
  bool Bind();
  bool IsNTPlatform() const noexcept { return ntPlatform_; }

  // Call wrappers. Unbound, or not on the NT platform, they do not call and
  // answer a failure: FALSE for the BOOL functions, 1 for the error-code
  // functions (the thread's last error is then not set by them).
  BOOL AllocateAndInitializeSid(PSID_IDENTIFIER_AUTHORITY authority, BYTE count, DWORD s0, DWORD s1, DWORD s2,
                                DWORD s3, DWORD s4, DWORD s5, DWORD s6, DWORD s7, PSID* sid);
  BOOL InitializeSecurityDescriptor(PSECURITY_DESCRIPTOR descriptor, DWORD revision);
  BOOL SetSecurityDescriptorDacl(PSECURITY_DESCRIPTOR descriptor, BOOL present, PACL acl, BOOL defaulted);
  BOOL GetSecurityDescriptorDacl(PSECURITY_DESCRIPTOR descriptor, LPBOOL present, PACL* acl, LPBOOL defaulted);
  LONG RegGetKeySecurity(HKEY key, SECURITY_INFORMATION info, PSECURITY_DESCRIPTOR descriptor, LPDWORD size);
  DWORD SetEntriesInAclW(ULONG count, PEXPLICIT_ACCESS_W entries, PACL oldAcl, PACL* newAcl);
  BOOL SetSecurityDescriptorControl(PSECURITY_DESCRIPTOR descriptor, SECURITY_DESCRIPTOR_CONTROL mask,
                                    SECURITY_DESCRIPTOR_CONTROL bits);
  BOOL OpenThreadToken(HANDLE thread, DWORD access, BOOL openAsSelf, PHANDLE token);
  BOOL GetTokenInformation(HANDLE token, TOKEN_INFORMATION_CLASS kind, LPVOID buffer, DWORD size, PDWORD needed);
  BOOL InitializeAcl(PACL acl, DWORD bytes, DWORD revision);
  BOOL AddAccessAllowedAce(PACL acl, DWORD revision, DWORD mask, PSID sid);
  BOOL GetAce(PACL acl, DWORD index, LPVOID* ace);
  BOOL GetAclInformation(PACL acl, LPVOID buffer, DWORD bytes, ACL_INFORMATION_CLASS kind);
  BOOL EqualSid(PSID first, PSID second);
  DWORD GetSecurityInfo(HANDLE object, SE_OBJECT_TYPE type, SECURITY_INFORMATION info, PSID* owner, PSID* group,
                        PACL* dacl, PACL* sacl, PSECURITY_DESCRIPTOR* descriptor);
  DWORD SetSecurityInfo(HANDLE object, SE_OBJECT_TYPE type, SECURITY_INFORMATION info, PSID owner, PSID group,
                        PACL dacl, PACL sacl);

 protected:
  // Seams: where the library comes from and how a name is found.
  virtual HMODULE LoadLibraryForTable();
  virtual FARPROC LookUp(HMODULE module, const char* name);

 private:
  enum Slot {
    kSetEntriesInAclW = 0,
    kRegGetKeySecurity = 5,
    kInitializeSecurityDescriptor = 7,
    kSetSecurityDescriptorDacl = 8,
    kGetSecurityDescriptorDacl = 9,
    kAllocateAndInitializeSid = 10,
    kOpenThreadToken = 12,
    kGetTokenInformation = 13,
    kInitializeAcl = 14,
    kAddAccessAllowedAce = 17,
    kGetSecurityInfo = 18,
    kSetSecurityInfo = 19,
    kGetAce = 21,
    kEqualSid = 23,
    kGetAclInformation = 24,
    kSetSecurityDescriptorControl = 25,
  };
  template <typename Fn>
  Fn Get(Slot slot) const noexcept;

  UniqueModule library_;
  UniqueCriticalSection lock_;
  bool ntPlatform_ = false;
  FARPROC functions_[kFunctionCount] = {};
};

namespace internal {

// The grant of CRegKeyImpl::GrantEveryoneFullAccess on `key` with a given
// table (tests pass one with a missing function).
LONG GrantEveryoneFullAccessWith(HKEY key, bool recurse, SecurityApiTable& table);

}  // namespace internal
}  // namespace Trevalk
