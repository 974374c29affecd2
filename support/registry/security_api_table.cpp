#include "registry/security_api_table.h"

#include "loader/secure_dll_loading.h"
#include "osinfo/os_version.h"

namespace Trevalk {

namespace {
constexpr DWORD kSpinCount = 4000;
}

const char* const SecurityApiTable::kFunctionNames[kFunctionCount] = {
    "SetEntriesInAclW",
    "GetFileSecurityW",
    "SetFileSecurityW",
    "LookupAccountSidW",
    "GetExplicitEntriesFromAclW",
    "RegGetKeySecurity",
    "RegSetKeySecurity",
    "InitializeSecurityDescriptor",
    "SetSecurityDescriptorDacl",
    "GetSecurityDescriptorDacl",
    "AllocateAndInitializeSid",
    "FreeSid",
    "OpenThreadToken",
    "GetTokenInformation",
    "InitializeAcl",
    "InitializeSid",
    "GetSidSubAuthority",
    "AddAccessAllowedAce",
    "GetSecurityInfo",
    "SetSecurityInfo",
    "QueryServiceStatusEx",
    "GetAce",
    "DeleteAce",
    "EqualSid",
    "GetAclInformation",
    "SetSecurityDescriptorControl",
};

SecurityApiTable::SecurityApiTable() : SecurityApiTable(Trevalk::IsNTPlatform()) {}

SecurityApiTable::SecurityApiTable(bool ntPlatform) : lock_(kSpinCount), ntPlatform_(ntPlatform) {}

SecurityApiTable::~SecurityApiTable() = default;

HMODULE SecurityApiTable::LoadLibraryForTable() { return LoadSystemLibrary(L"advapi32.dll", 0); }

FARPROC SecurityApiTable::LookUp(HMODULE module, const char* name) { return GetProcAddress(module, name); }

bool SecurityApiTable::Bind() {
  CriticalSectionLock lock(lock_);
  if (!library_) {
    library_.reset(LoadLibraryForTable());
    if (!library_) return false;
    for (int k = 0; k < kFunctionCount; ++k) functions_[k] = LookUp(library_.get(), kFunctionNames[k]);
  }
  bool all = true;
  for (FARPROC function : functions_) all = all && function != nullptr;
  return all;
}

template <typename Fn>
Fn SecurityApiTable::Get(Slot slot) const noexcept {
  if (!ntPlatform_ || functions_[slot] == nullptr) return nullptr;
  return reinterpret_cast<Fn>(reinterpret_cast<void*>(functions_[slot]));
}

BOOL SecurityApiTable::AllocateAndInitializeSid(PSID_IDENTIFIER_AUTHORITY authority, BYTE count, DWORD s0, DWORD s1,
                                                DWORD s2, DWORD s3, DWORD s4, DWORD s5, DWORD s6, DWORD s7,
                                                PSID* sid) {
  using Fn = BOOL(WINAPI*)(PSID_IDENTIFIER_AUTHORITY, BYTE, DWORD, DWORD, DWORD, DWORD, DWORD, DWORD, DWORD,
                           DWORD, PSID*);
  const Fn fn = Get<Fn>(kAllocateAndInitializeSid);
  return fn ? fn(authority, count, s0, s1, s2, s3, s4, s5, s6, s7, sid) : FALSE;
}

BOOL SecurityApiTable::InitializeSecurityDescriptor(PSECURITY_DESCRIPTOR descriptor, DWORD revision) {
  using Fn = BOOL(WINAPI*)(PSECURITY_DESCRIPTOR, DWORD);
  const Fn fn = Get<Fn>(kInitializeSecurityDescriptor);
  return fn ? fn(descriptor, revision) : FALSE;
}

BOOL SecurityApiTable::SetSecurityDescriptorDacl(PSECURITY_DESCRIPTOR descriptor, BOOL present, PACL acl,
                                                 BOOL defaulted) {
  using Fn = BOOL(WINAPI*)(PSECURITY_DESCRIPTOR, BOOL, PACL, BOOL);
  const Fn fn = Get<Fn>(kSetSecurityDescriptorDacl);
  return fn ? fn(descriptor, present, acl, defaulted) : FALSE;
}

BOOL SecurityApiTable::GetSecurityDescriptorDacl(PSECURITY_DESCRIPTOR descriptor, LPBOOL present, PACL* acl,
                                                 LPBOOL defaulted) {
  using Fn = BOOL(WINAPI*)(PSECURITY_DESCRIPTOR, LPBOOL, PACL*, LPBOOL);
  const Fn fn = Get<Fn>(kGetSecurityDescriptorDacl);
  return fn ? fn(descriptor, present, acl, defaulted) : FALSE;
}

LONG SecurityApiTable::RegGetKeySecurity(HKEY key, SECURITY_INFORMATION info, PSECURITY_DESCRIPTOR descriptor,
                                         LPDWORD size) {
  using Fn = LONG(WINAPI*)(HKEY, SECURITY_INFORMATION, PSECURITY_DESCRIPTOR, LPDWORD);
  const Fn fn = Get<Fn>(kRegGetKeySecurity);
  return fn ? fn(key, info, descriptor, size) : 1;
}

DWORD SecurityApiTable::SetEntriesInAclW(ULONG count, PEXPLICIT_ACCESS_W entries, PACL oldAcl, PACL* newAcl) {
  using Fn = DWORD(WINAPI*)(ULONG, PEXPLICIT_ACCESS_W, PACL, PACL*);
  const Fn fn = Get<Fn>(kSetEntriesInAclW);
  return fn ? fn(count, entries, oldAcl, newAcl) : 1;
}

BOOL SecurityApiTable::SetSecurityDescriptorControl(PSECURITY_DESCRIPTOR descriptor, SECURITY_DESCRIPTOR_CONTROL mask,
                                                    SECURITY_DESCRIPTOR_CONTROL bits) {
  using Fn = BOOL(WINAPI*)(PSECURITY_DESCRIPTOR, SECURITY_DESCRIPTOR_CONTROL, SECURITY_DESCRIPTOR_CONTROL);
  const Fn fn = Get<Fn>(kSetSecurityDescriptorControl);
  return fn ? fn(descriptor, mask, bits) : FALSE;
}

BOOL SecurityApiTable::OpenThreadToken(HANDLE thread, DWORD access, BOOL openAsSelf, PHANDLE token) {
  using Fn = BOOL(WINAPI*)(HANDLE, DWORD, BOOL, PHANDLE);
  const Fn fn = Get<Fn>(kOpenThreadToken);
  return fn ? fn(thread, access, openAsSelf, token) : FALSE;
}

BOOL SecurityApiTable::GetTokenInformation(HANDLE token, TOKEN_INFORMATION_CLASS kind, LPVOID buffer, DWORD size,
                                           PDWORD needed) {
  using Fn = BOOL(WINAPI*)(HANDLE, TOKEN_INFORMATION_CLASS, LPVOID, DWORD, PDWORD);
  const Fn fn = Get<Fn>(kGetTokenInformation);
  return fn ? fn(token, kind, buffer, size, needed) : FALSE;
}

BOOL SecurityApiTable::InitializeAcl(PACL acl, DWORD bytes, DWORD revision) {
  using Fn = BOOL(WINAPI*)(PACL, DWORD, DWORD);
  const Fn fn = Get<Fn>(kInitializeAcl);
  return fn ? fn(acl, bytes, revision) : FALSE;
}

BOOL SecurityApiTable::AddAccessAllowedAce(PACL acl, DWORD revision, DWORD mask, PSID sid) {
  using Fn = BOOL(WINAPI*)(PACL, DWORD, DWORD, PSID);
  const Fn fn = Get<Fn>(kAddAccessAllowedAce);
  return fn ? fn(acl, revision, mask, sid) : FALSE;
}

BOOL SecurityApiTable::GetAce(PACL acl, DWORD index, LPVOID* ace) {
  using Fn = BOOL(WINAPI*)(PACL, DWORD, LPVOID*);
  const Fn fn = Get<Fn>(kGetAce);
  return fn ? fn(acl, index, ace) : FALSE;
}

BOOL SecurityApiTable::GetAclInformation(PACL acl, LPVOID buffer, DWORD bytes, ACL_INFORMATION_CLASS kind) {
  using Fn = BOOL(WINAPI*)(PACL, LPVOID, DWORD, ACL_INFORMATION_CLASS);
  const Fn fn = Get<Fn>(kGetAclInformation);
  return fn ? fn(acl, buffer, bytes, kind) : FALSE;
}

BOOL SecurityApiTable::EqualSid(PSID first, PSID second) {
  using Fn = BOOL(WINAPI*)(PSID, PSID);
  const Fn fn = Get<Fn>(kEqualSid);
  return fn ? fn(first, second) : FALSE;
}

DWORD SecurityApiTable::GetSecurityInfo(HANDLE object, SE_OBJECT_TYPE type, SECURITY_INFORMATION info, PSID* owner,
                                        PSID* group, PACL* dacl, PACL* sacl, PSECURITY_DESCRIPTOR* descriptor) {
  using Fn = DWORD(WINAPI*)(HANDLE, SE_OBJECT_TYPE, SECURITY_INFORMATION, PSID*, PSID*, PACL*, PACL*,
                            PSECURITY_DESCRIPTOR*);
  const Fn fn = Get<Fn>(kGetSecurityInfo);
  return fn ? fn(object, type, info, owner, group, dacl, sacl, descriptor) : 1;
}

DWORD SecurityApiTable::SetSecurityInfo(HANDLE object, SE_OBJECT_TYPE type, SECURITY_INFORMATION info, PSID owner,
                                        PSID group, PACL dacl, PACL sacl) {
  using Fn = DWORD(WINAPI*)(HANDLE, SE_OBJECT_TYPE, SECURITY_INFORMATION, PSID, PSID, PACL, PACL);
  const Fn fn = Get<Fn>(kSetSecurityInfo);
  return fn ? fn(object, type, info, owner, group, dacl, sacl) : 1;
}

}  // namespace Trevalk
