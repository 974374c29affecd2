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

// The image this code is linked into: the linker's symbol for its first
// byte (declared without a size, as the compiler knows nothing of what
// follows the DOS header).
extern "C" unsigned char __ImageBase[];  // NOLINT(bugprone-reserved-identifier): the linker's name

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

// The delay-import descriptors as the linkers write them (every field an
// RVA: the descriptors' attribute bit 1).
struct DelayDescriptor {
  DWORD attributes;
  DWORD dllName;
  DWORD moduleHandle;
  DWORD importAddressTable;
  DWORD importNameTable;
  DWORD boundImportAddressTable;
  DWORD unloadImportAddressTable;
  DWORD timeStamp;
};
constexpr DWORD kRvaBased = 1;

DWORD LastErrorOr(DWORD fallback) {
  const DWORD error = GetLastError();
  return error != ERROR_SUCCESS ? error : fallback;
}

// Binds one descriptor's library and every slot of it not yet bound.
DWORD BindDescriptor(unsigned char* base, DWORD imageSize, const DelayDescriptor& descriptor) {
  if ((descriptor.attributes & kRvaBased) == 0) return ERROR_BAD_EXE_FORMAT;
  auto* const moduleSlot = reinterpret_cast<HMODULE*>(base + descriptor.moduleHandle);
  HMODULE module = *moduleSlot;
  if (module == nullptr) {
    const char* const name = reinterpret_cast<const char*>(base + descriptor.dllName);
    HMODULE loaded = LoadDelayImportedLibraryWith(name, LibrarySearchFlagsAvailable(), &LoadLibraryExW);
    if (loaded == nullptr) return LastErrorOr(ERROR_MOD_NOT_FOUND);
    // Another thread (or the helper) may have stored it meanwhile: keep one
    // reference, as the helper does.
    void* const previous = InterlockedCompareExchangePointer(reinterpret_cast<void* volatile*>(moduleSlot), loaded,
                                                             nullptr);
    if (previous != nullptr) {
      FreeLibrary(loaded);
      loaded = static_cast<HMODULE>(previous);
    }
    module = loaded;
  }
  auto* const slots = reinterpret_cast<ULONG_PTR*>(base + descriptor.importAddressTable);
  const auto* const names = reinterpret_cast<const IMAGE_THUNK_DATA*>(base + descriptor.importNameTable);
  const auto imageStart = reinterpret_cast<ULONG_PTR>(base);
  for (size_t i = 0; names[i].u1.AddressOfData != 0; ++i) {
    // An unbound slot still points at its thunk, inside this image.
    if (slots[i] < imageStart || slots[i] >= imageStart + imageSize) continue;
    const ULONG_PTR entry = names[i].u1.AddressOfData;
    const char* const procedure =
        IMAGE_SNAP_BY_ORDINAL(entry)
            ? MAKEINTRESOURCEA(IMAGE_ORDINAL(entry))
            : reinterpret_cast<const char*>(reinterpret_cast<const IMAGE_IMPORT_BY_NAME*>(base + entry)->Name);
    const FARPROC address = GetProcAddress(module, procedure);
    if (address == nullptr) return LastErrorOr(ERROR_PROC_NOT_FOUND);
    InterlockedExchangePointer(reinterpret_cast<void* volatile*>(&slots[i]), reinterpret_cast<void*>(address));
  }
  return ERROR_SUCCESS;
}

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

DWORD BindDelayImports() {
  static volatile LONG bound = 0;
  if (InterlockedCompareExchange(&bound, 0, 0) != 0) return ERROR_SUCCESS;
  unsigned char* const base = __ImageBase;
  const auto* const nt =
      reinterpret_cast<const IMAGE_NT_HEADERS*>(base + reinterpret_cast<const IMAGE_DOS_HEADER*>(base)->e_lfanew);
  const IMAGE_DATA_DIRECTORY& directory = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_DELAY_IMPORT];
  if (directory.VirtualAddress != 0) {
    const auto* descriptor = reinterpret_cast<const internal::DelayDescriptor*>(base + directory.VirtualAddress);
    for (; descriptor->dllName != 0; ++descriptor) {
      const DWORD error = internal::BindDescriptor(base, nt->OptionalHeader.SizeOfImage, *descriptor);
      if (error != ERROR_SUCCESS) return error;
    }
  }
  InterlockedExchange(&bound, 1);
  return ERROR_SUCCESS;
}

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
