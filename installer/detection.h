// Incompatible-product detection: the call into the maker's uninstaller
// library "Uninst.dll" and the conversion of its raw product list into the
// records handed to the installer host.
#pragma once

#include <windows.h>

#include <cstddef>

#include "entry_points.h"

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

// Where MakeIncompatibleDetection takes the blocks it hands to the host.
// The product uses the process heap (AllocateHostBlock/FreeHostBlock); tests
// pass a heap that fails on demand and counts what is still live.
struct HostHeap {
  void* (*allocate)(size_t bytes);  // zeroed block, or null
  void (*release)(void* block);     // null is ignored
};
HostHeap ProcessHostHeap();

// Converts *count raw records into the host's list: one record per product,
// in order, each with its own heap copy of the name. Logs the detections
// line and one "detected" line per product at Normal.
//
// On success *list holds *count pointers (or null and *count 0 when there
// were no records). On an allocation failure every block made so far is
// freed again, *list is null, *count is 0 and the result is 0x8007000E. The
// host thus never sees a count without a list. `raw` must hold *count
// records; with a null `raw`, *list is null and *count 0.
DWORD MakeIncompatibleDetection(DWORD* count, const unsigned char* raw, IncompatibleProductRecord*** list);
DWORD MakeIncompatibleDetection(DWORD* count, const unsigned char* raw, IncompatibleProductRecord*** list,
                                const HostHeap& heap);

}  // namespace checkrvq
