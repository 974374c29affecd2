// Where this system loads libraries from.
//
// InitSecureDllLoading restricts the process-wide library search to the
// System folder; a program runs it first thing, before anything binds a
// delay-loaded DLL. LoadSystemLibrary loads one named library by its full
// path in the System folder, whatever the search order is.
#pragma once

#include <windows.h>

namespace Trevalk {

// Restricts the library search of the whole process to the System folder
// (SetDefaultDllDirectories with LOAD_LIBRARY_SEARCH_SYSTEM32, bound by name
// from the already loaded kernel32). True only when that call answered
// exactly 1. False when kernel32 or the function is missing or the call
// failed; the search order then stays the system default and nothing else
// changes. Writes no message; the caller decides what to log. Changes
// process-wide state: call once, on the main thread, before other threads
// or delay-loaded libraries exist.
bool InitSecureDllLoading();

// Loads `name` (a file name without any folder, e.g. L"advapi32.dll") from
// the System folder only: LoadLibraryExW on "<System folder>\<name>" with
// `flags` minus LOAD_WITH_ALTERED_SEARCH_PATH (0x8); every other bit reaches
// the loader unchanged. A library of that name in the program's folder or
// the current directory is never taken.
//
// Returns the module, which the caller owns and frees with FreeLibrary (hold
// it in a UniqueModule), or nullptr on any failure: null or empty name, a
// name with a folder part (ERROR_INVALID_NAME), no System folder, a path
// too long for MAX_PATH (ERROR_FILENAME_EXCED_RANGE), or the loader's own
// failure (its last error is left as the loader set it, e.g.
// ERROR_MOD_NOT_FOUND). Holds no state; safe on any thread.
HMODULE LoadSystemLibrary(const wchar_t* name, DWORD flags = 0);

// Loads the library at the full path `path` so that its own dependencies
// come from its folder and the System folder only, never from the current
// directory or PATH: LoadLibraryExW with LOAD_LIBRARY_SEARCH_DLL_LOAD_DIR |
// LOAD_LIBRARY_SEARCH_SYSTEM32. Where the system lacks those flags (kernel32
// without AddDllDirectory), LOAD_WITH_ALTERED_SEARCH_PATH instead: its folder
// first, then the System folder, then the rest of the standard order.
// Returns the module (the caller frees it) or nullptr with the loader's last
// error; a relative path fails with ERROR_INVALID_PARAMETER where the flags
// exist.
HMODULE LoadLibraryBesideItsDependencies(const wchar_t* path);

namespace internal {

// Seams for tests; the public functions call these with GetProcAddress and
// LoadLibraryExW.
using ProcLookup = FARPROC(WINAPI*)(HMODULE module, LPCSTR name);
using LibraryLoader = HMODULE(WINAPI*)(LPCWSTR path, HANDLE file, DWORD flags);

bool InitSecureDllLoadingWith(ProcLookup lookup);
HMODULE LoadSystemLibraryWith(const wchar_t* name, DWORD flags, LibraryLoader loader);
HMODULE LoadLibraryBesideItsDependenciesWith(const wchar_t* path, bool searchFlags, LibraryLoader loader);

}  // namespace internal
}  // namespace Trevalk
