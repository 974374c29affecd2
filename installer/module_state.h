// Process-wide state of checkRVQ.dll and the helpers every step shares.
#pragma once

#include <windows.h>

#include <cstddef>
#include <cstdint>
#include <utility>

#include "loader/delay_load_hook.h"
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

// A block of the host heap owned until it is handed to the host: one that
// never reaches the host is released when its owner goes, whichever way the
// step ends.
template <typename T>
class HostBlock {
 public:
  HostBlock() noexcept = default;
  // Allocates `bytes` zeroed bytes from `heap`; empty when out of memory.
  explicit HostBlock(size_t bytes, const HostHeap& heap = ProcessHostHeap()) noexcept
      : heap_(heap), block_(static_cast<T*>(heap.allocate(bytes))) {}
  // Takes over `block`, made by `heap`.
  HostBlock(T* block, const HostHeap& heap) noexcept : heap_(heap), block_(block) {}
  ~HostBlock() {
    if (block_) heap_.release(block_);
  }
  HostBlock(HostBlock&& other) noexcept : heap_(other.heap_), block_(other.HandOver()) {}
  HostBlock& operator=(HostBlock&& other) noexcept {
    if (this != &other) {
      if (block_) heap_.release(block_);
      heap_ = other.heap_;
      block_ = other.HandOver();
    }
    return *this;
  }
  HostBlock(const HostBlock&) = delete;
  HostBlock& operator=(const HostBlock&) = delete;

  T* get() const noexcept { return block_; }
  T* operator->() const noexcept { return block_; }
  explicit operator bool() const noexcept { return block_ != nullptr; }

  // The host owns the block from now on.
  T* HandOver() noexcept { return std::exchange(block_, nullptr); }

 private:
  HostHeap heap_{};
  T* block_ = nullptr;
};

// The boundary of every entry point: runs its body, and nothing thrown
// crosses into the host. An exception (the C++ runtime out of memory) gives
// `onException`; the out-parameters are the body's to keep consistent, which
// it does by handing blocks over only at its end (HostBlock). Log lines
// throw nothing (the facade contains them), so no log line ends here.
// The system libraries the library delay-loads are bound first: one that
// cannot be loaded or bound gives `onException` before the body, or any log
// line, runs (nothing can be logged without them), where the delay helper
// would raise its exception through the host. Bound once per process.
template <typename Body>
inline DWORD GuardedEntry(DWORD onException, Body&& body) noexcept {
  if (Trevalk::BindDelayImports() != ERROR_SUCCESS) return onException;
  try {
    return body();
  } catch (...) {
    return onException;
  }
}

}  // namespace checkrvq
