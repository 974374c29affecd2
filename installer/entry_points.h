// The contract between checkRVQ.dll and its installer host: the records the
// entry points hand over and the entry points themselves (exported by name,
// ordinals 1-8, see checkrvq.def). All are extern "C" with the standard x64
// calling convention; none throws, and each runs to completion on the
// caller's thread. None depends on another having run. They are not safe
// against overlapping calls: the host calls them one at a time, and calls
// OnFreeLibrary before it frees the library.
//
// Memory: every block handed to the host (a StepResult, the detection array,
// its records and their names) is allocated from the process heap
// (HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, ...)) and owned by the host
// from the moment the entry point returns. The host frees each one with
// HeapFree(GetProcessHeap(), 0, block), never with free or delete of a C
// runtime; the library never frees it, OnFreeLibrary included. A failing
// entry point hands nothing over: there is nothing to free then.
//
// Out-parameters are set to their failure values (null, 0) before anything
// else runs, so a host never reads what the call did not write. Logging is
// best effort: a log line that cannot be written (the logger cannot be
// built, its configuration read, or the line formatted or written) never
// changes what an entry point does or answers. A null
// out-parameter pointer is allowed; what would go there is not stored (and
// DetectIncompatible then does nothing at all).
//
// System libraries: each entry point first binds every system library the
// library delay-loads (from the System folder only). When one cannot be
// loaded or a function of it bound, the call does nothing, logs nothing
// (the log needs them) and gives its failure answer: ERROR_NOT_ENOUGH_MEMORY
// from DetectIncompatible, kResultUnexpected from UninstallIncompatible,
// kResultOutOfMemory from PreInstall and PostInstall, 0 from the others.
#pragma once

#include <windows.h>

#include <cstddef>

extern "C" {

// Allocated zeroed by PreInstall and PostInstall; never filled further.
struct StepResult {
  DWORD value0;   // 0
  void* pointer0;  // null
  DWORD value1;   // 0
  void* pointer1;  // null
  void* pointer2;  // null
};

struct IncompatibleProductRecord {
  DWORD lacksMakerName;      // 1 when productName does not contain "Bryxen"
  wchar_t* productName;      // zero-terminated UTF-16, a heap string of its own
  DWORD matchesServiceName;  // 1 when productName contains "Tovrin Service"
};

// Ordinal 1. Reads no arguments and does nothing. Always 0.
DWORD StartApplication();

// Ordinal 2. Asks the maker's "Uninst.dll", loaded by its full path from the
// library's own folder, which incompatible products are installed. With
// `count` or `list` null: 0, nothing written, nothing run. Otherwise *count
// is set to 0 and *list to null first.
// Results:
//   0: *list is the array of *count record pointers, in the order the
//      uninstaller listed the products, or null with *count 0 when there are
//      none. Also 0, with null and 0, when "Uninst.dll" or its entry point
//      is missing, when the uninstaller reports failure, when a record
//      cannot be allocated, and when the library's folder cannot be entered
//      or the current directory saved (the uninstaller is then not called);
//      each is logged.
//   ERROR_NOT_ENOUGH_MEMORY: no memory for the command line or the saved
//      current directory, the command line or a product's name could not
//      be converted to or from the uninstaller's code page (never an empty
//      name, never "no products"), or a failure escaped the step (the C++
//      runtime out of memory). *list null, *count 0.
// A null *list always goes with *count 0: read the count only with a list.
// The host frees each record's productName, then the record, then the
// array. The process's current directory is the library's folder while the
// uninstaller runs and is put back before the call returns (a failure to put
// it back is logged). A log line that fails never changes any of this.
DWORD DetectIncompatible(DWORD* count, IncompatibleProductRecord*** list);

// Ordinal 3. Runs the maker's cleaner "bxclean.exe" twice (products "RVQ",
// then "purgix"), hidden and one after the other, each time waiting for it
// without a time-out. The cleaner is started by its full path in the
// library's own folder, never found by a search; the current directory is
// that folder while it runs and is put back afterwards. Reads no arguments.
// The cleaner never runs elsewhere: when the current directory cannot be
// saved or the library's folder entered, it is not started (logged).
// A run whose wait fails is ended (terminated and waited for, at most 30 s)
// and not followed by the second run, so that two runs never overlap.
// Results: 0 when the second run started and was waited for (the cleaner's
// exit codes are not looked at); kResultUnexpected (E_UNEXPECTED) when it
// could not be started (no cleaner there, the library's folder unknown or
// not entered), when the wait for either run failed, or a failure escaped.
// Each failure is logged; a failure to put the current directory back is
// logged and does not change the result.
DWORD UninstallIncompatible();

// Ordinal 4. The first two arguments are not read. *result is set to null
// and *canBeInstalled to 0 first. Then it moves the product's data file
// "bxdndb.dat" to its current place when it is only at an older one; a
// failed move is logged at most and does not change the result.
// Results:
//   0: *result is a new StepResult (all zero) that the host frees;
//      *canBeInstalled is 1.
//   kResultOutOfMemory (E_OUTOFMEMORY): the StepResult could not be
//      allocated, or a failure escaped the step. *result null,
//      *canBeInstalled 0; nothing to free.
DWORD PreInstall(void* unused1, void* unused2, StepResult** result, DWORD* canBeInstalled);

// Ordinal 5. As PreInstall, with the flag "needs reboot", which is 0 on
// success too: the library never asks for a restart. Changes nothing on the
// machine.
DWORD PostInstall(void* unused1, void* unused2, StepResult** result, DWORD* needsReboot);

// Ordinal 6. Frees what the library itself still holds (nothing, in
// practice) and none of the blocks handed to the host. Safe to call any
// number of times; call it before FreeLibrary.
void OnFreeLibrary();

// Ordinal 7. Removes the product's old service "rvq9" (polling once a second
// while it stops: up to 10 s, 30 s while it reports stop-pending), records the installation under
// HKLM\SOFTWARE\Bryxen\RVQ and schedules the locale files below its
// "Install Dir" (which the host writes first) for deletion at restart. Each
// step runs even when one before it failed. Reads no arguments. Always 0:
// failures go to the product's log only, each failed registry write and
// scheduling with its result.
DWORD DllInstallFunction();

// Ordinal 8. Deletes the product's per-user data in every user profile of
// the machine. Reads no arguments. Always 0: failures go to the log only. A
// profile the list cannot give is logged and passed over; the others are
// still visited.
DWORD DllUninstallFunction();

using StartApplicationFn = DWORD (*)();
using DetectIncompatibleFn = DWORD (*)(DWORD*, IncompatibleProductRecord***);
using UninstallIncompatibleFn = DWORD (*)();
using PreInstallFn = DWORD (*)(void*, void*, StepResult**, DWORD*);
using PostInstallFn = DWORD (*)(void*, void*, StepResult**, DWORD*);
using OnFreeLibraryFn = void (*)();
using DllInstallFunctionFn = DWORD (*)();
using DllUninstallFunctionFn = DWORD (*)();

}  // extern "C"

static_assert(sizeof(StepResult) == 40, "StepResult is a fixed 40-byte contract");
static_assert(offsetof(StepResult, pointer0) == 8 && offsetof(StepResult, value1) == 16 &&
                  offsetof(StepResult, pointer1) == 24 && offsetof(StepResult, pointer2) == 32,
              "StepResult layout");
static_assert(sizeof(IncompatibleProductRecord) == 24, "IncompatibleProductRecord is a fixed 24-byte contract");
static_assert(offsetof(IncompatibleProductRecord, productName) == 8 &&
                  offsetof(IncompatibleProductRecord, matchesServiceName) == 16,
              "IncompatibleProductRecord layout");

// A procedure address as the entry point's type (through the generic
// function type, which compilers accept without a cast warning).
template <typename Fn>
inline Fn ProcAs(FARPROC proc) {
  return reinterpret_cast<Fn>(reinterpret_cast<void (*)()>(proc));
}

// Result codes of the entry points (HRESULT-style, 32-bit).
constexpr DWORD kResultOutOfMemory = 0x8007000E;  // E_OUTOFMEMORY
constexpr DWORD kResultUnexpected = 0x8000FFFF;   // E_UNEXPECTED
