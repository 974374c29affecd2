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
#endif

#if defined(__GLIBCXX__) && defined(__MINGW32__) && defined(_GLIBCXX_HAS_GTHREADS)
// The exception path of GCC's runtime linked statically with the POSIX
// thread library (winpthreads), as this library is built with mingw-w64
// (GCC 12, mingw-w64 10; read from the installed libstdc++.a and
// libwinpthread.a): when malloc fails, __cxa_allocate_exception takes the
// exception from libstdc++'s emergency pool, whose lock is a winpthreads
// mutex made with pthread_mutex_init(NULL). That stores the "static
// initialiser" (-1); the mutex's state is allocated (malloc, 24 bytes) at
// its first lock. Under exhaustion that allocation fails, the lock throws a
// lock error, whose allocation comes back to the pool: the recursion ends in
// a stack overflow. So the lock is taken once at load, while memory is
// there. Its 24 bytes stay at unload: libstdc++ never destroys the lock.
//
// The pool is a static object of libstdc++ without a name outside it:
// { lock, first free entry, arena, arena size }, and before its first use
// the arena is one free entry { size, next = null } of the whole arena.
// PrepareExceptionPool looks for exactly that in this module's .data; when
// it is not there (another runtime version, an arena that could not be
// allocated, a pool already used) nothing is done.
//
// What the runtime still makes on first use and keeps: the first exception
// thrown on a thread allocates that thread's exception globals in emulated
// TLS, and with them winpthreads' record of the thread (its duplicated
// thread handle among others) and, once per load, a TLS index: measured
// under Wine, 4 handles, 1 TLS index and about 1.7 KB per load. winpthreads
// frees a thread's record when the thread ends, never its TLS index, and
// nothing of it when the module unloads first. Making them at load would
// cost every load/unload cycle that much; so they are not, and the first
// exception on a thread that finds no memory for them ends in abort()
// inside the runtime. None of this library's steps throws unless memory
// runs out.
#define RVQ_PREPARE_EXCEPTION_POOL 1
#include <pthread.h>

#include <cstdint>
#include <cstring>

namespace {

// The emergency arena of this libstdc++ build, in bytes.
constexpr uintptr_t kEmergencyArenaBytes = 0x12400;
constexpr uintptr_t kStaticMutexInitializer = static_cast<uintptr_t>(-1);

bool IsReadable(const void* address, size_t bytes) {
  MEMORY_BASIC_INFORMATION info{};
  if (VirtualQuery(address, &info, sizeof info) != sizeof info || info.State != MEM_COMMIT) return false;
  const DWORD readable = PAGE_READONLY | PAGE_READWRITE | PAGE_WRITECOPY | PAGE_EXECUTE_READ |
                         PAGE_EXECUTE_READWRITE | PAGE_EXECUTE_WRITECOPY;
  const auto end = static_cast<const unsigned char*>(info.BaseAddress) + info.RegionSize;
  return (info.Protect & readable) != 0 && (info.Protect & PAGE_GUARD) == 0 &&
         static_cast<const unsigned char*>(address) + bytes <= end;
}

// Takes the emergency pool's lock once (see above).
void PrepareExceptionPool(HMODULE module) {
  auto* const base = reinterpret_cast<unsigned char*>(module);
  const auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(base);
  const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(base + dos->e_lfanew);
  const IMAGE_SECTION_HEADER* section = IMAGE_FIRST_SECTION(nt);
  for (WORD i = 0; i < nt->FileHeader.NumberOfSections; ++i, ++section) {
    if (std::memcmp(section->Name, ".data\0\0\0", IMAGE_SIZEOF_SHORT_NAME) != 0) continue;
    auto* const words = reinterpret_cast<uintptr_t*>(base + section->VirtualAddress);
    const size_t count = section->Misc.VirtualSize / sizeof(uintptr_t);
    for (size_t w = 0; w + 4 <= count; ++w) {
      if (words[w] != kStaticMutexInitializer || words[w + 3] != kEmergencyArenaBytes || words[w + 1] == 0 ||
          words[w + 1] != words[w + 2]) {
        continue;
      }
      // The pool stores its arena's address as a word.
      const auto* arena = reinterpret_cast<const uintptr_t*>(words[w + 2]);  // NOLINT(performance-no-int-to-ptr)
      if (!IsReadable(arena, 2 * sizeof(uintptr_t)) || arena[0] != kEmergencyArenaBytes || arena[1] != 0) continue;
      auto* lock = reinterpret_cast<pthread_mutex_t*>(&words[w]);
      if (pthread_mutex_lock(lock) == 0) pthread_mutex_unlock(lock);
      return;
    }
  }
}

}  // namespace
#endif

#if defined(__GLIBCXX__)
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
#if defined(RVQ_PREPARE_EXCEPTION_POOL)
    // The exception path's lock, made while memory is there.
    PrepareExceptionPool(instance);
#endif
  }
#if defined(__GLIBCXX__)
  if (reason == DLL_PROCESS_DETACH) g_unloadedByFreeLibrary = reserved == nullptr;
#endif
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
