// Incompatible-product detection: the call into the maker's uninstaller
// library "Uninst.dll" and the conversion of its raw product list into the
// records handed to the installer host.
#pragma once

#include <windows.h>

#include <cstddef>

#include "entry_points.h"
#include "module_state.h"

namespace checkrvq {

// One raw product record as Dll_Uninstall returns it: 788 bytes, the
// product name a narrow (thread ANSI code page) text from byte 8. Nothing
// else of the record is read.
constexpr size_t kUninstallerRecordBytes = 788;
constexpr size_t kUninstallerNameOffset = 8;
constexpr size_t kUninstallerNameBytes = kUninstallerRecordBytes - kUninstallerNameOffset;  // 780

// Dll_Uninstall(commandLine, &records, count). Only the lowest bit of the
// result is tested: the export may return a one-byte boolean in a wider
// register.
using DllUninstallFn = int (*)(const char* commandLine, const unsigned char** records, DWORD* count);

// The detection call: Dll_Uninstall with "/D <libraryFolder>\uninst.ini /L"
// (narrow, thread code page), made with libraryFolder as the current
// directory; the products it lists go through MakeIncompatibleDetection.
// The uninstaller is called only when the current directory was saved and
// libraryFolder entered (each failure logged, nothing called); the saved one
// is put back afterwards (a failure logged). `codePage` is the uninstaller's
// narrow code page. 0, or ERROR_NOT_ENOUGH_MEMORY when the command buffer
// or the saved directory cannot be allocated, or when the command line or
// a product's name cannot be converted (nothing is handed over then).
DWORD RunDetection(DllUninstallFn dllUninstall, const wchar_t* libraryFolder, DWORD* count,
                   IncompatibleProductRecord*** list, UINT codePage = CP_THREAD_ACP);

// MakeIncompatibleDetection's answer when a product's name does not
// convert from `codePage`.
constexpr DWORD kResultNameNotConverted = ERROR_NO_UNICODE_TRANSLATION;

// Number of name bytes of the record at `record`: up to the first zero byte,
// at most kUninstallerNameBytes, so that a name without a terminator ends at
// the record's end and never runs into the next record.
size_t UninstallerRecordNameLength(const unsigned char* record);

// The two marks of a product name: "Bryxen" absent, "Tovrin Service"
// present (case-sensitive substring tests). A null name lacks both words.
struct ProductNameMarks {
  DWORD lacksMakerName;
  DWORD matchesServiceName;
};
ProductNameMarks ClassifyProductName(const wchar_t* name);

// Converts *count raw records into the host's list: one record per product,
// in order, each with its own heap copy of the name. Logs the detections
// line and one "detected" line per product at Normal.
//
// On success *list holds *count pointers (or null and *count 0 when there
// were no records). On an allocation failure every block made so far is
// freed again, *list is null, *count is 0 and the result is
// kResultOutOfMemory (E_OUTOFMEMORY); when a name does not convert from
// `codePage` (never an empty name) it is the same with
// kResultNameNotConverted. Both are logged. The host thus never sees a count
// without a list. `raw` must hold *count records; with a null `raw`, *list
// is null and *count 0. What the C++ runtime throws (out of memory) leaves
// nothing allocated.
DWORD MakeIncompatibleDetection(DWORD* count, const unsigned char* raw, IncompatibleProductRecord*** list);
DWORD MakeIncompatibleDetection(DWORD* count, const unsigned char* raw, IncompatibleProductRecord*** list,
                                const HostHeap& heap, UINT codePage = CP_THREAD_ACP);

}  // namespace checkrvq
