// Process-wide state of checkRVQ.dll and the helpers every step shares.
#pragma once

#include <windows.h>

#include <cstddef>
#include <cstdint>

#include "log_lines.h"
#include "logging.h"

namespace checkrvq {

// Capacity, in characters, of the path buffers of the installer steps.
constexpr size_t kPathChars = 260;
constexpr size_t kModuleDirChars = 261;

// The library's own module handle, stored at process attach.
HMODULE LibraryModule();
void SetLibraryModule(HMODULE module);

// Writes the folder of `module` (no trailing backslash) into buffer. The
// buffer is emptied first; a null handle or a failed GetModuleFileNameW gives
// the empty string; a path without a backslash is returned whole. A path that
// does not fit `capacity` gives the empty string rather than a cut path.
void GetModuleDirectory(HMODULE module, wchar_t* buffer, size_t capacity);

// Allocates a zeroed block that is handed to the host, which owns it
// afterwards. Null when out of memory.
void* AllocateHostBlock(size_t bytes);

// Frees a block of AllocateHostBlock that never reached the host.
void FreeHostBlock(void* block);

// Where the blocks handed to the host come from: a zeroed-block allocator
// (null when out of memory) and its release (null is ignored).
struct HostHeap {
  void* (*allocate)(size_t bytes);
  void (*release)(void* block);
};

// AllocateHostBlock and FreeHostBlock as a HostHeap.
HostHeap ProcessHostHeap();

// Makes AllocateHostBlock and FreeHostBlock use `heap` (copied) instead of
// the process heap; null goes back to the process heap. For tests, which
// make allocations fail on demand and count the blocks still live: the heap
// must not itself call AllocateHostBlock or FreeHostBlock.
void UseHostHeap(const HostHeap* heap);

// Counts the blocks that OnFreeLibrary still has to release.
size_t PendingReleaseCount();

// One log line of an installer step: nothing is formatted unless the
// severity is enabled. `line` is the message's number from log_lines.h.
template <typename... Args>
inline void LogStep(DWORD severity, const wchar_t* function, int line, const wchar_t* format, Args... args) {
  ETWLogging::LogIfEnabled(severity, kLogSourceFile, function, line, format, args...);
}

// Runs an entry point's body; nothing thrown crosses the export boundary.
// An exception (out of memory in the C++ runtime, a rejected log format)
// gives `onException`.
template <typename Body>
inline DWORD GuardedEntry(DWORD onException, Body&& body) noexcept {
  try {
    return body();
  } catch (...) {
    return onException;
  }
}

}  // namespace checkrvq
