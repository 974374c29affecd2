#include <windows.h>
#include <knownfolders.h>

#include <cwchar>
#include <new>
#include <string>

#include "loader/secure_dll_loading.h"
#include "paths/paths.h"

namespace Trevalk {
namespace {

bool HasFolderPart(const wchar_t* name) {
  for (const wchar_t* p = name; *p != L'\0'; ++p) {
    if (*p == L'\\' || *p == L'/' || *p == L':') return true;
  }
  return false;
}

}  // namespace

namespace internal {

HMODULE LoadSystemLibraryWith(const wchar_t* name, DWORD flags, LibraryLoader loader) {
  if (name == nullptr || *name == L'\0') return nullptr;
  // "..\x.dll" or "C:\x.dll" would leave the System folder.
  if (HasFolderPart(name)) {
    SetLastError(ERROR_INVALID_NAME);
    return nullptr;
  }
  std::wstring systemFolder;
  try {
    if (FAILED(GetKnownFolderPath(FOLDERID_System, 0, systemFolder))) return nullptr;
  } catch (const std::bad_alloc&) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
  wchar_t path[MAX_PATH];
  const int written = _snwprintf(path, MAX_PATH, L"%s\\%s", systemFolder.c_str(), name);
  if (written < 0 || written >= MAX_PATH) {
    SetLastError(ERROR_FILENAME_EXCED_RANGE);
    return nullptr;
  }
  // With a full path, LOAD_WITH_ALTERED_SEARCH_PATH would look for the
  // library's own dependencies in its folder first; and it may not be
  // combined with the LOAD_LIBRARY_SEARCH_* flags.
  return loader(path, nullptr, flags & ~static_cast<DWORD>(LOAD_WITH_ALTERED_SEARCH_PATH));
}

}  // namespace internal

HMODULE LoadSystemLibrary(const wchar_t* name, DWORD flags) {
  return internal::LoadSystemLibraryWith(name, flags, &LoadLibraryExW);
}

}  // namespace Trevalk
