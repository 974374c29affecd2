#include "paths/folder_security.h"

#include <cstring>
#include <initializer_list>

#include "common/unique_handle.h"
#include "registry/security_api_table.h"

namespace Trevalk {

namespace {

// Any of these lets its holder put something into a folder, take something
// out, rename the folder, or change who may.
constexpr DWORD kChangingAccess = FILE_WRITE_DATA | FILE_APPEND_DATA | FILE_DELETE_CHILD | DELETE | WRITE_DAC |
                                  WRITE_OWNER | GENERIC_WRITE | GENERIC_ALL;
constexpr DWORD kFullControl = FILE_ALL_ACCESS;
constexpr DWORD kReadAndExecute = FILE_GENERIC_READ | FILE_GENERIC_EXECUTE;
constexpr BYTE kInheritedByAll = OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE;

// A SID in DWORD-aligned storage: revision 1, the authority, the
// sub-authorities.
std::vector<DWORD> MakeSid(BYTE authority, std::initializer_list<DWORD> subAuthorities) {
  std::vector<DWORD> storage(2 + subAuthorities.size());
  SID* sid = reinterpret_cast<SID*>(storage.data());
  sid->Revision = SID_REVISION;
  sid->SubAuthorityCount = static_cast<BYTE>(subAuthorities.size());
  sid->IdentifierAuthority.Value[5] = authority;
  DWORD* sub = sid->SubAuthority;
  for (DWORD value : subAuthorities) *sub++ = value;
  return storage;
}

// A copy of `sid` (whose sub-authority count is trusted: it comes from the
// system) in DWORD-aligned storage.
std::vector<DWORD> CopySid(PSID sid) {
  const SID* source = static_cast<const SID*>(sid);
  std::vector<DWORD> storage(2 + source->SubAuthorityCount);
  memcpy(storage.data(), source, storage.size() * sizeof(DWORD));
  return storage;
}

DWORD SidBytes(const std::vector<DWORD>& sid) { return static_cast<DWORD>(sid.size() * sizeof(DWORD)); }

// The token the caller acts with: the thread's when it impersonates,
// otherwise the process's.
UniqueKernelHandle OpenCallerToken(SecurityApiTable& api) {
  UniqueKernelHandle token;
  HANDLE raw = nullptr;
  if (api.OpenThreadToken(GetCurrentThread(), TOKEN_QUERY, TRUE, &raw) ||
      OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &raw)) {
    token.reset(raw);
  }
  return token;
}

// One piece of token information, or an empty buffer.
std::vector<DWORD> TokenInformation(SecurityApiTable& api, HANDLE token, TOKEN_INFORMATION_CLASS kind) {
  DWORD needed = 0;
  api.GetTokenInformation(token, kind, nullptr, 0, &needed);
  if (needed == 0) return {};
  std::vector<DWORD> buffer((needed + sizeof(DWORD) - 1) / sizeof(DWORD));
  if (!api.GetTokenInformation(token, kind, buffer.data(), SidBytes(buffer), &needed)) return {};
  return buffer;
}

DWORD LastErrorOr(DWORD fallback) {
  const DWORD error = GetLastError();
  return error != ERROR_SUCCESS ? error : fallback;
}

}  // namespace

FolderAccess::FolderAccess(SecurityApiTable& api) : api_(api) {
  if (!api_.Bind()) {
    error_ = ERROR_PROC_NOT_FOUND;
    return;
  }
  const std::vector<DWORD> system = MakeSid(5, {SECURITY_LOCAL_SYSTEM_RID});
  const std::vector<DWORD> administrators = MakeSid(5, {SECURITY_BUILTIN_DOMAIN_RID, DOMAIN_ALIAS_RID_ADMINS});
  const std::vector<DWORD> users = MakeSid(5, {SECURITY_BUILTIN_DOMAIN_RID, DOMAIN_ALIAS_RID_USERS});
  trusted_.push_back(system);
  trusted_.push_back(administrators);
  // NT SERVICE\TrustedInstaller.
  trusted_.push_back(MakeSid(5, {80, 956008885, 3418522649, 1831038044, 1853292631, 2271478464}));
  // CREATOR OWNER: an entry for whoever creates something below, which only
  // the principals trusted here can.
  trusted_.push_back(MakeSid(3, {0}));
  const UniqueKernelHandle token = OpenCallerToken(api_);
  if (token) {
    const std::vector<DWORD> user = TokenInformation(api_, token.get(), TokenUser);
    if (!user.empty()) trusted_.push_back(CopySid(reinterpret_cast<const TOKEN_USER*>(user.data())->User.Sid));
    const std::vector<DWORD> owner = TokenInformation(api_, token.get(), TokenOwner);
    if (!owner.empty()) trusted_.push_back(CopySid(reinterpret_cast<const TOKEN_OWNER*>(owner.data())->Owner));
  }

  // The protected list (inherited below) and the list a file receives from
  // a folder holding it.
  struct Entry {
    const std::vector<DWORD>* sid;
    DWORD mask;
  };
  const Entry entries[] = {{&system, kFullControl}, {&administrators, kFullControl}, {&users, kReadAndExecute}};
  DWORD bytes = sizeof(ACL);
  for (const Entry& entry : entries) bytes += sizeof(ACCESS_ALLOWED_ACE) - sizeof(DWORD) + SidBytes(*entry.sid);
  for (auto* list : {&protectedAcl_, &inheritedAcl_}) {
    list->assign(bytes / sizeof(DWORD), 0);
    PACL acl = reinterpret_cast<PACL>(list->data());
    if (!api_.InitializeAcl(acl, bytes, ACL_REVISION)) {
      error_ = LastErrorOr(ERROR_INVALID_ACL);
      return;
    }
    DWORD index = 0;
    for (const Entry& entry : entries) {
      void* ace = nullptr;
      if (!api_.AddAccessAllowedAce(acl, ACL_REVISION, entry.mask, const_cast<DWORD*>(entry.sid->data())) ||
          !api_.GetAce(acl, index++, &ace)) {
        error_ = LastErrorOr(ERROR_INVALID_ACL);
        return;
      }
      static_cast<ACE_HEADER*>(ace)->AceFlags = list == &protectedAcl_ ? kInheritedByAll : INHERITED_ACE;
    }
  }
}

FolderAccess::~FolderAccess() = default;

bool FolderAccess::IsTrusted(PSID sid) {
  for (std::vector<DWORD>& trusted : trusted_) {
    if (api_.EqualSid(sid, trusted.data())) return true;
  }
  return false;
}

bool FolderAccess::IsOpenToOthers(PACL acl) {
  // No list at all lets everyone do everything.
  if (!acl) return true;
  ACL_SIZE_INFORMATION size{};
  if (!api_.GetAclInformation(acl, &size, sizeof size, AclSizeInformation)) return true;
  for (DWORD k = 0; k < size.AceCount; ++k) {
    void* ace = nullptr;
    if (!api_.GetAce(acl, k, &ace)) return true;
    const ACE_HEADER* header = static_cast<const ACE_HEADER*>(ace);
    switch (header->AceType) {
      case ACCESS_ALLOWED_ACE_TYPE:
      case ACCESS_ALLOWED_CALLBACK_ACE_TYPE: {
        // Entries that only pass to what is created below count too: they
        // would give others the files put there.
        auto* allowed = static_cast<ACCESS_ALLOWED_ACE*>(ace);
        if ((allowed->Mask & kChangingAccess) && !IsTrusted(&allowed->SidStart)) return true;
        break;
      }
      case ACCESS_DENIED_ACE_TYPE:
      case ACCESS_DENIED_CALLBACK_ACE_TYPE:
      case SYSTEM_AUDIT_ACE_TYPE:
      case SYSTEM_ALARM_ACE_TYPE:
        break;
      default: {
        // Object and compound entries: their trustee is not where it is in
        // the plain form, so any changing access counts as someone else's.
        auto* allowed = static_cast<ACCESS_ALLOWED_ACE*>(ace);
        if (header->AceSize < sizeof(ACE_HEADER) + sizeof(ACCESS_MASK) || (allowed->Mask & kChangingAccess)) {
          return true;
        }
        break;
      }
    }
  }
  return false;
}

DWORD FolderAccess::CreateFolder(const wchar_t* path) {
  if (error_ != ERROR_SUCCESS) return error_;
  SECURITY_DESCRIPTOR descriptor;
  if (!api_.InitializeSecurityDescriptor(&descriptor, SECURITY_DESCRIPTOR_REVISION) ||
      !api_.SetSecurityDescriptorDacl(&descriptor, TRUE, reinterpret_cast<PACL>(protectedAcl_.data()), FALSE) ||
      !api_.SetSecurityDescriptorControl(&descriptor, SE_DACL_PROTECTED, SE_DACL_PROTECTED)) {
    return LastErrorOr(ERROR_INVALID_SECURITY_DESCR);
  }
  SECURITY_ATTRIBUTES attributes{sizeof attributes, &descriptor, FALSE};
  return CreateDirectoryW(path, &attributes) ? ERROR_SUCCESS : LastErrorOr(ERROR_CANNOT_MAKE);
}

DWORD FolderAccess::CheckOwner(HANDLE handle) {
  if (error_ != ERROR_SUCCESS) return error_;
  PSID owner = nullptr;
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  const DWORD error =
      api_.GetSecurityInfo(handle, SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION, &owner, nullptr, nullptr, nullptr,
                           &descriptor);
  const UniqueLocalMemory held(descriptor);
  if (error != ERROR_SUCCESS) return error;
  return owner && IsTrusted(owner) ? ERROR_SUCCESS : kErrorUntrustedOwner;
}

DWORD FolderAccess::JudgeFolder(HANDLE handle, FolderSecurity security) {
  if (security == FolderSecurity::kIgnore) return ERROR_SUCCESS;
  if (error_ != ERROR_SUCCESS) return error_;
  PSID owner = nullptr;
  PACL acl = nullptr;
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  const DWORD error = api_.GetSecurityInfo(handle, SE_FILE_OBJECT,
                                           OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, &owner, nullptr,
                                           &acl, nullptr, &descriptor);
  const UniqueLocalMemory held(descriptor);
  if (error != ERROR_SUCCESS) return error;
  if (!owner || !IsTrusted(owner)) return kErrorUntrustedOwner;
  if (!IsOpenToOthers(acl)) return ERROR_SUCCESS;
  if (security == FolderSecurity::kJudge) return kErrorOpenToOthers;
  // Through the handle, on this level only: the levels below are judged on
  // their own when they are reached, and nothing else below is touched.
  return api_.SetSecurityInfo(handle, SE_FILE_OBJECT, DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION,
                              nullptr, nullptr, reinterpret_cast<PACL>(protectedAcl_.data()), nullptr);
}

DWORD FolderAccess::InheritFromFolder(HANDLE handle) {
  if (error_ != ERROR_SUCCESS) return error_;
  return api_.SetSecurityInfo(handle, SE_FILE_OBJECT,
                              DACL_SECURITY_INFORMATION | UNPROTECTED_DACL_SECURITY_INFORMATION, nullptr, nullptr,
                              reinterpret_cast<PACL>(inheritedAcl_.data()), nullptr);
}

}  // namespace Trevalk
