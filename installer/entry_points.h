// The contract between checkRVQ.dll and its installer host: the records the
// entry points hand over and the entry points themselves (exported by name,
// ordinals 1-8, see checkrvq.def).
//
// Every block handed to the host (a StepResult, the detection array, its
// records and their names) is allocated from the process heap
// (HeapAlloc(GetProcessHeap(), ...)) and owned by the host afterwards; the
// library never frees it.
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

DWORD StartApplication();
DWORD DetectIncompatible(DWORD* count, IncompatibleProductRecord*** list);
DWORD UninstallIncompatible();
DWORD PreInstall(void* unused1, void* unused2, StepResult** result, DWORD* canBeInstalled);
DWORD PostInstall(void* unused1, void* unused2, StepResult** result, DWORD* needsReboot);
void OnFreeLibrary();
DWORD DllInstallFunction();
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
