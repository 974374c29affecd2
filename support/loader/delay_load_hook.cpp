// The delay helper's notification hook: every delay-imported library from the
// System folder (see delay_load_hook.h for why).
//
// The hook runs inside the delay helper, while the first call into a
// delay-loaded function is being resolved, possibly under the loader lock of
// a DllMain and on any thread. So it uses kernel32 only (always mapped,
// never delay-loaded, or the hook would recurse into the helper), keeps the
// path on the stack and allocates nothing.
#include "loader/delay_load_hook.h"

#include <windows.h>
#include <delayimp.h>

namespace Trevalk {
namespace internal {

HMODULE LoadDelayImportedLibraryWith(const char* name, bool searchFlags, DelayLibraryLoader loader) {
  if (name == nullptr || *name == '\0') {
    SetLastError(ERROR_INVALID_NAME);
    return nullptr;
  }
  wchar_t path[MAX_PATH];
  const UINT folderChars = GetSystemDirectoryW(path, MAX_PATH);
  if (folderChars == 0) return nullptr;
  // Room for the folder, the separator, at least one character and the
  // terminator; GetSystemDirectoryW answers the size it needs when the
  // buffer is too small.
  if (folderChars + 3 > MAX_PATH) {
    SetLastError(ERROR_FILENAME_EXCED_RANGE);
    return nullptr;
  }
  size_t length = folderChars;
  if (path[length - 1] != L'\\') path[length++] = L'\\';
  for (const char* p = name; *p != '\0'; ++p) {
    const unsigned char c = static_cast<unsigned char>(*p);
    // A folder, drive or stream part would leave the System folder; the
    // descriptors name plain ASCII files.
    if (c < 0x20 || c > 0x7E || c == '\\' || c == '/' || c == ':') {
      SetLastError(ERROR_INVALID_NAME);
      return nullptr;
    }
    if (length + 1 >= MAX_PATH) {
      SetLastError(ERROR_FILENAME_EXCED_RANGE);
      return nullptr;
    }
    path[length++] = static_cast<wchar_t>(c);
  }
  path[length] = L'\0';
  // LOAD_WITH_ALTERED_SEARCH_PATH may not be combined with the
  // LOAD_LIBRARY_SEARCH_* flags; without them it is the one way to have the
  // library's dependencies looked for in its own (the System) folder first.
  return loader(path, nullptr, searchFlags ? LOAD_LIBRARY_SEARCH_SYSTEM32 : LOAD_WITH_ALTERED_SEARCH_PATH);
}

bool LibrarySearchFlagsAvailable() {
  const HMODULE kernel32 = GetModuleHandleW(L"kernel32.dll");
  return kernel32 != nullptr && GetProcAddress(kernel32, "AddDllDirectory") != nullptr;
}

namespace {

FARPROC WINAPI NotifyDelayLoad(unsigned notification, PDelayLoadInfo info) {
  if (notification != dliNotePreLoadLibrary || info == nullptr) return nullptr;
  const HMODULE module = LoadDelayImportedLibraryWith(info->szDll, LibrarySearchFlagsAvailable(), &LoadLibraryExW);
  if (module == nullptr) {
    // Answering null would let the helper load the name by the search order
    // after all. Fail as the helper fails for a library it cannot find: the
    // same exception, with the load information as its argument.
    info->dwLastError = GetLastError();
    const ULONG_PTR argument = reinterpret_cast<ULONG_PTR>(info);
    RaiseException(VcppException(ERROR_SEVERITY_ERROR, ERROR_MOD_NOT_FOUND), 0, 1, &argument);
    return nullptr;
  }
  return reinterpret_cast<FARPROC>(module);
}

}  // namespace
}  // namespace internal
}  // namespace Trevalk

// The helper reads this pointer (its default, in the toolchain's runtime
// library, is null). Our definition wins because the delay-import libraries
// name it as an undefined symbol on the link line (-u, /INCLUDE), so this
// object is taken before the runtime library is searched; mingw's definition
// is then never pulled in, and were both pulled in, the link would fail on
// the duplicate rather than pick one. MSVC's delayimp.h declares it const
// (read-only data); mingw-w64's declares it writable.
extern "C" {
#if defined(_MSC_VER)
extern const PfnDliHook __pfnDliNotifyHook2 = &Trevalk::internal::NotifyDelayLoad;
#else
PfnDliHook __pfnDliNotifyHook2 = &Trevalk::internal::NotifyDelayLoad;
#endif
}
