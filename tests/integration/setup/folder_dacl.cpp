// Prints the access list of a folder as the system reads it back: the
// folder opened for READ_CONTROL, GetSecurityInfo, and the DACL (with its
// protection flag) in SDDL, on one line. Exit code 1 when it cannot be read.
//
// usage: folder_dacl.exe FOLDER
#include <windows.h>

#include <aclapi.h>
#include <sddl.h>

#include <cstdio>
#include <cwchar>

#include "common/unique_handle.h"

int wmain(int argc, wchar_t** argv) {
  if (argc != 2) {
    std::fputs("usage: folder_dacl FOLDER\n", stderr);
    return 1;
  }
  Trevalk::UniqueFileHandle folder(CreateFileW(argv[1], READ_CONTROL, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                               nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
  if (!folder) {
    std::fprintf(stderr, "cannot open the folder (error %lu)\n", GetLastError());
    return 1;
  }
  PACL dacl = nullptr;
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  const DWORD status = GetSecurityInfo(folder.get(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr, &dacl,
                                       nullptr, &descriptor);
  if (status != ERROR_SUCCESS) {
    std::fprintf(stderr, "GetSecurityInfo failed (error %lu)\n", status);
    return 1;
  }
  Trevalk::UniqueLocalMemory descriptorOwner(descriptor);
  LPWSTR text = nullptr;
  if (!ConvertSecurityDescriptorToStringSecurityDescriptorW(descriptor, SDDL_REVISION_1, DACL_SECURITY_INFORMATION,
                                                            &text, nullptr)) {
    std::fprintf(stderr, "cannot convert the access list (error %lu)\n", GetLastError());
    return 1;
  }
  Trevalk::UniqueLocalMemory textOwner(text);
  std::wprintf(L"%ls\n", text);
  return 0;
}
