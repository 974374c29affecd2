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

}  // namespace Trevalk
