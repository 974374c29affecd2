#include "loader/secure_dll_loading.h"

#include "loader/delay_load_hook.h"

namespace Trevalk {
namespace internal {

bool InitSecureDllLoadingWith(ProcLookup lookup) {
  // Only looked up: kernel32 is always mapped, and loading it here would
  // already go through the search order we are about to restrict.
  const HMODULE kernel32 = GetModuleHandleW(L"kernel32.dll");
  if (kernel32 == nullptr) return false;
  // Bound by name: systems before Windows 8 (without KB2533623) lack it.
  using SetDefaultDllDirectoriesFn = BOOL(WINAPI*)(DWORD);
  const auto setDefaultDllDirectories = reinterpret_cast<SetDefaultDllDirectoriesFn>(
      reinterpret_cast<void*>(lookup(kernel32, "SetDefaultDllDirectories")));
  if (setDefaultDllDirectories == nullptr) return false;
  return setDefaultDllDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32) == 1;
}

HMODULE LoadLibraryBesideItsDependenciesWith(const wchar_t* path, bool searchFlags, LibraryLoader loader) {
  // LOAD_WITH_ALTERED_SEARCH_PATH still searches the current directory and
  // PATH for a dependency that is neither beside the library nor a system
  // one; the two search flags stop there.
  const DWORD flags = searchFlags ? LOAD_LIBRARY_SEARCH_DLL_LOAD_DIR | LOAD_LIBRARY_SEARCH_SYSTEM32
                                  : LOAD_WITH_ALTERED_SEARCH_PATH;
  return loader(path, nullptr, flags);
}

}  // namespace internal

bool InitSecureDllLoading() { return internal::InitSecureDllLoadingWith(&GetProcAddress); }

HMODULE LoadLibraryBesideItsDependencies(const wchar_t* path) {
  return internal::LoadLibraryBesideItsDependenciesWith(path, internal::LibrarySearchFlagsAvailable(), &LoadLibraryExW);
}

}  // namespace Trevalk
