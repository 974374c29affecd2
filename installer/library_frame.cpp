// What every step of checkRVQ.dll shares: process attach, the module handle,
// the memory handed to the host, OnFreeLibrary and StartApplication.
#include <windows.h>

#include <array>
#include <deque>

#include "entry_points.h"
#include "logging.h"
#include "module_state.h"

namespace checkrvq {
namespace {

HMODULE g_module = nullptr;
HostHeap g_hostHeap{};
bool g_hostHeapReplaced = false;

// Blocks the library keeps until OnFreeLibrary: six first-in-first-out
// queues and four single slots. No step of this library adds to them today;
// OnFreeLibrary still empties them in their fixed order, and whatever is left
// at unload is freed by the destructor.
class ReleaseStore {
 public:
  ~ReleaseStore() { FreeAll(); }

  void FreeAll() {
    for (auto& queue : queues_) {
      while (!queue.empty()) {
        void* block = queue.front();
        queue.pop_front();
        FreeHostBlock(block);
      }
    }
    for (void*& slot : slots_) {
      FreeHostBlock(slot);
      slot = nullptr;
    }
  }

  size_t Pending() const {
    size_t count = 0;
    for (const auto& queue : queues_) count += queue.size();
    for (void* slot : slots_) count += slot ? 1 : 0;
    return count;
  }

 private:
  std::array<std::deque<void*>, 6> queues_;
  std::array<void*, 4> slots_{};
};

ReleaseStore g_releaseStore;

}  // namespace

HMODULE LibraryModule() { return g_module; }
void SetLibraryModule(HMODULE module) { g_module = module; }

void GetModuleDirectory(HMODULE module, wchar_t* buffer, size_t capacity) {
  if (!buffer || capacity == 0) return;
  buffer[0] = L'\0';
  if (!module) return;
  const DWORD room = capacity > MAXDWORD ? MAXDWORD : static_cast<DWORD>(capacity);
  const DWORD length = GetModuleFileNameW(module, buffer, room);
  if (length == 0 || length >= room) {
    // Failed, or the path did not fit and came back cut.
    buffer[0] = L'\0';
    return;
  }
  for (DWORD i = length; i > 0; --i) {
    if (buffer[i - 1] == L'\\') {
      buffer[i - 1] = L'\0';
      return;
    }
  }
}

void* AllocateHostBlock(size_t bytes) {
  if (g_hostHeapReplaced) return g_hostHeap.allocate(bytes);
  return HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, bytes);
}

void FreeHostBlock(void* block) {
  if (!block) return;
  if (g_hostHeapReplaced) {
    g_hostHeap.release(block);
    return;
  }
  HeapFree(GetProcessHeap(), 0, block);
}

HostHeap ProcessHostHeap() { return {AllocateHostBlock, FreeHostBlock}; }

void UseHostHeap(const HostHeap* heap) {
  g_hostHeapReplaced = heap && heap->allocate && heap->release;
  g_hostHeap = g_hostHeapReplaced ? *heap : HostHeap{};
}

size_t PendingReleaseCount() { return g_releaseStore.Pending(); }

}  // namespace checkrvq

#if defined(__GLIBCXX__)
// libstdc++'s exception emergency pool (about 73 KB, allocated when the
// library loads) has no destructor; only this hook frees it. Linked
// statically into a DLL, the pool leaks at every unload.
namespace __gnu_cxx {
void __freeres() noexcept;  // NOLINT(bugprone-reserved-identifier): libstdc++'s own name for the hook
}

namespace {

// Set at DLL_PROCESS_DETACH when FreeLibrary unloads the module; at process
// exit the pool goes with the process.
bool g_unloadedByFreeLibrary = false;

// Frees the pool after the last static destructor of the module: an
// exception thrown (and caught) inside one of them takes its memory from the
// pool when malloc fails, and must not find it freed. Static objects are
// destroyed after DllMain's detach, in the reverse order of their
// construction; this one is constructed before all others (the lowest init
// priority number the compiler leaves to programs), so it goes last. Objects
// made later, such as function-local statics, are destroyed before it.
class RuntimePoolRelease {
 public:
  RuntimePoolRelease() = default;
  RuntimePoolRelease(const RuntimePoolRelease&) = delete;
  RuntimePoolRelease& operator=(const RuntimePoolRelease&) = delete;
  ~RuntimePoolRelease() {
    if (g_unloadedByFreeLibrary) __gnu_cxx::__freeres();
  }
};

RuntimePoolRelease g_runtimePoolRelease __attribute__((init_priority(101)));

}  // namespace
#endif

extern "C" {

BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved) {
  if (reason == DLL_PROCESS_ATTACH) {
    checkrvq::SetLibraryModule(instance);
    ETWLogging::SetLogIdentity(nullptr, L"DetectRVQdll", nullptr, nullptr, 0);
  }
#if defined(__GLIBCXX__)
  if (reason == DLL_PROCESS_DETACH) g_unloadedByFreeLibrary = reserved == nullptr;
#endif
  return TRUE;
}

DWORD StartApplication() { return 0; }

void OnFreeLibrary() { checkrvq::g_releaseStore.FreeAll(); }

}  // extern "C"
