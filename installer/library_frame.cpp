// What every step of checkRVQ.dll shares: process attach, the module handle,
// the memory handed to the host, OnFreeLibrary and StartApplication.
#include <windows.h>

#include <array>
#include <deque>

#include "entry_points.h"
#include "logging.h"
#include "module_state.h"
#include "runtime/runtime_state.h"

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

extern "C" {

BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID) {
  if (reason == DLL_PROCESS_ATTACH) {
    checkrvq::SetLibraryModule(instance);
    ETWLogging::SetLogIdentity(nullptr, L"DetectRVQdll", nullptr, nullptr, 0);
    // The exception path's lock, made while memory is there.
    Trevalk::PrepareRuntime(instance);
  }
  return TRUE;
}

DWORD StartApplication() {
  return checkrvq::GuardedEntry(0, []() -> DWORD { return 0; });
}

void OnFreeLibrary() {
  checkrvq::GuardedEntry(0, []() -> DWORD {
    checkrvq::g_releaseStore.FreeAll();
    return 0;
  });
}

}  // extern "C"
