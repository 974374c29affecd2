#include "registry/reg_key.h"
#include "registry/security_api_table.h"

namespace Trevalk {

namespace {

constexpr DWORD kSubKeyNameChars = 256;
// SECURITY_DESCRIPTOR_MIN_LENGTH on 64-bit Windows.
constexpr SIZE_T kAbsoluteDescriptorBytes = 40;
constexpr DWORD kDescriptorRevision = 1;  // SECURITY_DESCRIPTOR_REVISION

// The error of a failed call; a call that failed without saying why still
// must not read as success.
LONG LastErrorOrFailure() {
  const DWORD error = GetLastError();
  return error != ERROR_SUCCESS ? static_cast<LONG>(error) : ERROR_GEN_FAILURE;
}

// Writes descriptor's access list to key and, with recurse, to every
// sub-key below it that can be opened with full access (the others, and
// symbolic links, are skipped).
LONG ApplyDescriptor(HKEY key, PSECURITY_DESCRIPTOR descriptor, bool recurse) {
  LONG result = RegSetKeySecurity(key, DACL_SECURITY_INFORMATION, descriptor);
  if (result != ERROR_SUCCESS || !recurse) return result;
  for (DWORD index = 0;; ++index) {
    wchar_t name[kSubKeyNameChars] = {};
    DWORD chars = kSubKeyNameChars;
    result = RegEnumKeyExW(key, index, name, &chars, nullptr, nullptr, nullptr, nullptr);
    if (result == ERROR_NO_MORE_ITEMS) return ERROR_SUCCESS;
    if (result != ERROR_SUCCESS) return result;
    // A symbolic link is opened itself and left alone: following it would
    // hand the access list to a key outside the tree.
    UniqueHKey subKey;
    if (RegOpenKeyExW(key, name, REG_OPTION_OPEN_LINK, KEY_ALL_ACCESS, subKey.put()) != ERROR_SUCCESS) continue;
    if (internal::IsSymbolicLink(subKey.get())) continue;
    result = ApplyDescriptor(subKey.get(), descriptor, true);
    if (result != ERROR_SUCCESS) return result;
  }
}

}  // namespace

namespace internal {

LONG GrantEveryoneFullAccessWith(HKEY key, bool recurse, SecurityApiTable& table) {
  if (key == nullptr) return ERROR_INVALID_PARAMETER;
  // Without access lists there is nothing to grant.
  if (!table.IsNTPlatform()) return ERROR_SUCCESS;
  if (!table.Bind()) return ERROR_FILE_NOT_FOUND;

  DWORD size = 0;
  LONG result = table.RegGetKeySecurity(key, DACL_SECURITY_INFORMATION, nullptr, &size);
  if (result != ERROR_INSUFFICIENT_BUFFER) return result;
  if (size == 0) return ERROR_BAD_LENGTH;
  UniqueLocalMemory current(LocalAlloc(LPTR, size));
  if (!current) return ERROR_OUTOFMEMORY;
  if (!table.InitializeSecurityDescriptor(current.get(), kDescriptorRevision)) return LastErrorOrFailure();
  result = table.RegGetKeySecurity(key, DACL_SECURITY_INFORMATION, current.get(), &size);
  if (result != ERROR_SUCCESS) return result;

  BOOL present = FALSE, defaulted = FALSE;
  PACL currentAcl = nullptr;
  if (!table.GetSecurityDescriptorDacl(current.get(), &present, &currentAcl, &defaulted)) return LastErrorOrFailure();
  if (!present) currentAcl = nullptr;

  SID_IDENTIFIER_AUTHORITY world = SECURITY_WORLD_SID_AUTHORITY;
  UniqueSid everyone;
  if (!table.AllocateAndInitializeSid(&world, 1, SECURITY_WORLD_RID, 0, 0, 0, 0, 0, 0, 0, everyone.put())) {
    return LastErrorOrFailure();
  }

  EXPLICIT_ACCESS_W entry = {};
  entry.grfAccessPermissions = GENERIC_ALL;
  entry.grfAccessMode = SET_ACCESS;
  entry.grfInheritance = SUB_CONTAINERS_AND_OBJECTS_INHERIT;
  entry.Trustee.pMultipleTrustee = nullptr;
  entry.Trustee.MultipleTrusteeOperation = NO_MULTIPLE_TRUSTEE;
  entry.Trustee.TrusteeForm = TRUSTEE_IS_SID;
  entry.Trustee.TrusteeType = TRUSTEE_IS_WELL_KNOWN_GROUP;
  entry.Trustee.ptstrName = static_cast<LPWSTR>(everyone.get());
  PACL newAclRaw = nullptr;
  const DWORD entriesResult = table.SetEntriesInAclW(1, &entry, currentAcl, &newAclRaw);
  const UniqueLocalMemory newAcl(newAclRaw);
  if (entriesResult != ERROR_SUCCESS) return static_cast<LONG>(entriesResult);

  UniqueLocalMemory descriptor(LocalAlloc(LPTR, kAbsoluteDescriptorBytes));
  if (!descriptor) return ERROR_NOT_ENOUGH_MEMORY;
  if (!table.InitializeSecurityDescriptor(descriptor.get(), kDescriptorRevision)) return LastErrorOrFailure();
  if (!table.SetSecurityDescriptorDacl(descriptor.get(), TRUE, newAclRaw, FALSE)) return LastErrorOrFailure();

  return ApplyDescriptor(key, descriptor.get(), recurse);
}

// The table lives for this one call and is destroyed on every path out.
LONG CRegKeyImpl::GrantEveryoneFullAccess(bool recurse) {
  if (!Handle()) return ERROR_INVALID_PARAMETER;
  SecurityApiTable table;
  return GrantEveryoneFullAccessWith(Handle(), recurse, table);
}

}  // namespace internal
}  // namespace Trevalk
