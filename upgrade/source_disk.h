// Reading the installed product's "SourceDisk" value through the ANSI
// registry interface, with the calling thread's ANSI code page on the way in
// and out, as the product that writes the value expects.
#pragma once

#include <windows.h>

namespace rvqupgd {

// Where the installed product records its build, below HKEY_LOCAL_MACHINE.
constexpr wchar_t kSourceDiskKey[] = L"Software\\BryxenOnline\\Tovrin Service";
constexpr wchar_t kSourceDiskValue[] = L"SourceDisk";

// Reads `valueName` of `subKey` below `root` (native view, KEY_READ) with
// RegOpenKeyExA/RegQueryValueExA; key path and value name are converted to
// CP_THREAD_ACP first.
//
// `*type` receives the type the query reported. For REG_SZ and REG_MULTI_SZ
// with a non-zero size, the value is read a second time into a block of
// exactly that size and converted from CP_THREAD_ACP to UTF-16 into
// `buffer`, which is cleared first (see AnsiRegistryTextToWide); a value that
// does not fit gives ERROR_MORE_DATA. Other types are left as the first query
// put them into `buffer`, raw. ERROR_INSUFFICIENT_BUFFER is reported as
// ERROR_MORE_DATA; a failed name conversion gives its error, an allocation
// failure ERROR_OUTOFMEMORY. "Not found" is ERROR_FILE_NOT_FOUND. `buffer`
// and `type` must not be null; the key is closed before returning.
LONG ReadRegistryTextAnsi(HKEY root, const wchar_t* subKey, const wchar_t* valueName, DWORD* type, wchar_t* buffer,
                          DWORD bufferBytes);

// Converts registry text in the thread's ANSI code page to UTF-16 into
// out[0..outChars). REG_SZ: one string, ending at its first zero or at
// dataBytes, with a terminator. REG_MULTI_SZ: each string with its
// terminator, up to the empty string or dataBytes, then a final zero. Returns
// 0, ERROR_MORE_DATA when the result needs more than outChars characters
// (out is then left empty, never cut), ERROR_INVALID_PARAMETER for another
// type or a null argument, or the conversion's error.
LONG AnsiRegistryTextToWide(DWORD type, const char* data, DWORD dataBytes, wchar_t* out, DWORD outChars);

}  // namespace rvqupgd
