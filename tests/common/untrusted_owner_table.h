// A SecurityApiTable whose GetSecurityInfo names a stranger (S-1-5-21-1-2-3-1001)
// as the owner of every folder, or of every file, it is asked about, or
// fails (kNoAnswer), or answers as the system does (kSystem). Wine reports
// every file as owned by the current user, so the checks for an owner that
// is not trusted are reached only through this seam.
#pragma once

#include <windows.h>

#include <aclapi.h>

#include <cstring>

#include "registry/security_api_table.h"

namespace rvqtest {

class UntrustedOwnerTable : public Trevalk::SecurityApiTable {
 public:
  enum Objects { kFolders, kFiles, kNoAnswer, kSystem };
  explicit UntrustedOwnerTable(Objects objects) : SecurityApiTable(true) {
    objects_ = objects;
    strangerAnswers_ = 0;
  }
  // How many answers named the stranger.
  static int strangerAnswers() { return strangerAnswers_; }
  // Changes the answers of every table of this kind from now on.
  static void Answer(Objects objects) { objects_ = objects; }

 protected:
  FARPROC LookUp(HMODULE module, const char* name) override {
    FARPROC real = SecurityApiTable::LookUp(module, name);
    if (strcmp(name, "GetSecurityInfo") != 0 || !real) return real;
    real_ = reinterpret_cast<GetSecurityInfoFn>(reinterpret_cast<void*>(real));
    return reinterpret_cast<FARPROC>(reinterpret_cast<void*>(&Fake));
  }

 private:
  using GetSecurityInfoFn = DWORD(WINAPI*)(HANDLE, SE_OBJECT_TYPE, SECURITY_INFORMATION, PSID*, PSID*, PACL*,
                                           PACL*, PSECURITY_DESCRIPTOR*);

  static DWORD WINAPI Fake(HANDLE object, SE_OBJECT_TYPE type, SECURITY_INFORMATION info, PSID* owner, PSID* group,
                           PACL* dacl, PACL* sacl, PSECURITY_DESCRIPTOR* descriptor) {
    if (objects_ == kNoAnswer) return ERROR_NOT_ENOUGH_MEMORY;
    const DWORD error = real_(object, type, info, owner, group, dacl, sacl, descriptor);
    FILE_ATTRIBUTE_TAG_INFO tag{};
    if (error == ERROR_SUCCESS && owner &&
        GetFileInformationByHandleEx(object, FileAttributeTagInfo, &tag, sizeof tag) &&
        ((tag.FileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) == (objects_ == kFolders)) {
      *owner = const_cast<SID*>(reinterpret_cast<const SID*>(kStranger));
      ++strangerAnswers_;
    }
    return error;
  }

  // S-1-5-21-1-2-3-1001: revision 1, five sub-authorities, authority 5.
  static constexpr DWORD kStranger[7] = {0x00000501, 0x05000000, 21, 1, 2, 3, 1001};
  static inline GetSecurityInfoFn real_ = nullptr;
  static inline Objects objects_ = kFolders;
  static inline int strangerAnswers_ = 0;
};

}  // namespace rvqtest
