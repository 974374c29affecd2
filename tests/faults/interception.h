// Fault injection at a DLL's import boundary, for the fault host.
//
// The mechanism: import-table patching in the test process, not a
// system-call table in the product. The product then runs exactly as shipped
// (same binary, same static runtime, same delay-load helper), and every
// fallible call it makes, its C++ runtime's and thread library's included,
// crosses the one table the loader filled in. A seam in the product would
// reach only the calls written through it.
//
// How: each fallible import of the patched module gets a small x64 stub,
// written at run time into executable memory. The stub saves the argument
// registers (rcx, rdx, r8, r9, xmm0-3), asks Decide() whether this call
// fails, and then either restores them and jumps to the real function, or
// returns the function's failure value (Decide() has set the last error).
// The caller cleans the stack on x64, so failing needs no argument count.
// GetProcAddress is replaced by a function of the rig that hands out the
// stub instead of the real address of a fallible function, so functions the
// delay-load helper or the code binds at run time go through stubs too.
// Only the patched module's tables change: the rig's own calls are never
// counted or failed.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>

namespace rvqfaults {

// What one import fails with, from failure_table.cpp.
struct FailureRule {
  const char* name;
  std::uintptr_t value;  // returned in rax
  DWORD lastError;       // set before returning
  int clearArg;          // a pointer argument (0-based) whose target the
                         // function sets to null when it fails; -1: none
};

// The rule of a fallible function; null for one that cannot fail.
const FailureRule* FindRule(const char* name);
// True for a function the table lists as one that cannot fail.
bool IsInfallible(const char* name);

enum class Mode { kCount, kOnce, kFrom };

// Fail the n-th counted call (kOnce) or every call from the n-th on (kFrom);
// kCount fails nothing.
void Configure(Mode mode, unsigned long n);
// Counting and failing happen only while armed.
void Arm(bool on);

// Patches the import tables (normal and delay-load) of `module`. Imports the
// table does not classify are named in `unclassified` (space-separated); the
// run is then not trustworthy and the host refuses it.
bool PatchModule(HMODULE module, std::string* unclassified);

struct CallSite {
  const char* function;
  std::uintptr_t rva;  // return address relative to the patched module
};

unsigned long CountedCalls();
unsigned long FailedCalls();
// The i-th counted call (0-based), for i below RecordedCalls().
unsigned long RecordedCalls();
CallSite RecordedCall(unsigned long i);

}  // namespace rvqfaults
