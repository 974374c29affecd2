#include <windows.h>
#include <knownfolders.h>
#include <objbase.h>
#include <shlobj.h>

#include <cwchar>

#include "loader/secure_dll_loading.h"

namespace Trevalk {
namespace {

// Frees the folder path that SHGetKnownFolderPath hands out, on every way
// out (the shell may hand out a block even when it fails).
class CoTaskString {
 public:
  CoTaskString() = default;
  ~CoTaskString() { CoTaskMemFree(text_); }
  CoTaskString(const CoTaskString&) = delete;
  CoTaskString& operator=(const CoTaskString&) = delete;
  PWSTR* put() { return &text_; }
  const wchar_t* get() const { return text_; }

 private:
  PWSTR text_ = nullptr;
};

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
  CoTaskString systemFolder;
  if (FAILED(SHGetKnownFolderPath(FOLDERID_System, 0, nullptr, systemFolder.put())) ||
      systemFolder.get() == nullptr) {
    return nullptr;
  }
  wchar_t path[MAX_PATH];
  const int written = _snwprintf(path, MAX_PATH, L"%s\\%s", systemFolder.get(), name);
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
