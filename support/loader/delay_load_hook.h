// Where delay-imported libraries are loaded from.
//
// Every binary delay-loads its system libraries (cmake/DelayImport.cmake).
// Left to itself, the delay helper loads each one by its bare name, so the
// search order of whatever process we run in decides which file that is: the
// program's folder and the current directory come before the System folder,
// and a library that is not one of the system's known DLLs (version.dll, for
// one) would be taken from there. checkRVQ.dll runs inside a host program it
// cannot change, elevated, often started from a download folder; a program's
// own search restriction (InitSecureDllLoading) does not help a library
// loaded into someone else's process.
//
// delay_load_hook.cpp therefore defines the delay helper's notification hook
// (__pfnDliNotifyHook2): before the helper loads a library, the hook loads it
// from the System folder and hands the module over, so the helper's own
// bare-name load never runs. The delay-import libraries pull the hook into
// every image that has delay imports, so a new binary cannot forget it.
#pragma once

#include <windows.h>

namespace Trevalk {

// Binds every delay import of the image this code is linked into, now:
// each delay-imported library is loaded as the hook loads it (above) and
// every function slot is filled through GetProcAddress, so that no later
// call goes through the delay helper. The helper answers a library or
// function it cannot get with an exception (0xC06D007E, 0xC06D007F) raised
// in the middle of whatever called it, which no C++ handler catches and
// which would cross an entry point into the host; called at the entry,
// the same failure is a result the caller can answer.
// Returns ERROR_SUCCESS once everything is bound (later calls return at
// once), otherwise the failed call's error (ERROR_MOD_NOT_FOUND or
// ERROR_PROC_NOT_FOUND when it left none); what was bound stays bound and
// the next call tries the rest again. Safe on any thread, not under the
// loader lock (it loads libraries). Uses kernel32 only, allocates nothing.
DWORD BindDelayImports();

namespace internal {

// The loader as the hook calls it (LoadLibraryExW in the product).
using DelayLibraryLoader = HMODULE(WINAPI*)(LPCWSTR path, HANDLE file, DWORD flags);

// Loads the library named `name` (an ASCII file name without any folder, as
// a delay-import descriptor names it) from "<System folder>\<name>":
// - with LOAD_LIBRARY_SEARCH_SYSTEM32 when `searchFlags` is true (the
//   system has the LOAD_LIBRARY_SEARCH_* flags), so that the library's own
//   dependencies also come from the System folder only;
// - otherwise with LOAD_WITH_ALTERED_SEARCH_PATH, so that they are looked
//   for in the System folder first.
// The full path also keeps a same-named library that the host loaded from
// elsewhere from being handed back for this name.
// Returns nullptr with ERROR_INVALID_NAME for a null or empty name, one with
// a folder, drive or stream part or a character outside printable ASCII,
// ERROR_FILENAME_EXCED_RANGE when the path does not fit MAX_PATH, or the
// loader's own answer. Allocates nothing and calls nothing delay-loaded.
HMODULE LoadDelayImportedLibraryWith(const char* name, bool searchFlags, DelayLibraryLoader loader);

// True when kernel32 has AddDllDirectory: the LOAD_LIBRARY_SEARCH_* flags
// exist (Windows 8 and later, or 7 with KB2533623).
bool LibrarySearchFlagsAvailable();

}  // namespace internal
}  // namespace Trevalk
