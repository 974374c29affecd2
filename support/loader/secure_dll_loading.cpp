#include "loader/secure_dll_loading.h"

namespace Trevalk {
namespace internal {

bool InitSecureDllLoadingWith(ProcLookup lookup) {
  // Only looked up: kernel32 is always mapped, and loading it here would
  // already go through the search order we are about to restrict.
  const HMODULE kernel32 = GetModuleHandleW(L"kernel32.dll");
  if (kernel32 == nullptr) return false;
  // Bound by name: systems before Windows 8 (without KB2533623) lack it.
  using SetDefaultDllDirectoriesFn = BOOL(WINAPI*)(DWORD);
  const auto setDefaultDllDirectories =
      reinterpret_cast<SetDefaultDllDirectoriesFn>(reinterpret_cast<void*>(lookup(kernel32, "SetDefaultDllDirectories")));
  if (setDefaultDllDirectories == nullptr) return false;
  return setDefaultDllDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32) == 1;
}

}  // namespace internal

bool InitSecureDllLoading() { return internal::InitSecureDllLoadingWith(&GetProcAddress); }

}  // namespace Trevalk
