// The state GCC's C++ runtime keeps for an image that links it statically:
// made ready while memory is there, and given back when the image unloads.
// Every shipped image links this object (runtime_state.h says how to use
// it); the runtime then survives exhausted memory and a load/unload cycle
// keeps nothing.
//
// 1. Each thread's exception state. mingw-w64's libstdc++ keeps it (the
// caught exceptions, the count of uncaught ones) in an emulated
// thread-local variable, which the first exception on a thread allocates
// through __emutls_get_address. libgcc's version of that function takes a
// winpthreads once-flag (allocated at first use), a winpthreads key (and
// with it winpthreads' record of the thread: memory and a duplicated
// thread handle) and two blocks from malloc. When memory has run out, the
// first exception thrown on a thread therefore writes through a null
// pointer inside winpthreads or ends in abort(): a bad_alloc can never
// reach the handler written for it. And once a DLL linking it unloads, the
// key's TLS index, the records and blocks of every thread stay behind.
// This definition takes libgcc's place (an object of the image wins over
// the runtime library's member): one TLS index made when the image loads,
// and for each thread one block, made when the thread starts or the image
// loads (a TLS callback) and released when the thread ends or the image
// unloads. A thread that existed before the image loaded gets its block at
// first use; when the heap has none, one of a small reserve in the image is
// taken. Kernel32 and the C runtime's memory functions only.
//
// 2. The emergency pool's lock, taken once while memory is there
// (PrepareRuntime, below), and destroyed at unload.
//
// 3. The emergency pool itself (about 73 KB, allocated when the image
// loads) has no destructor; only libstdc++'s __freeres hook frees it.
// Without it, each unload of a DLL keeps the pool.
#include "runtime/runtime_state.h"

#include <windows.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#if defined(__MINGW32__)

extern "C" {

// libgcc's descriptor of one emulated thread-local variable, made by the
// compiler: its size and alignment, its place (0 until the first access
// gives it one; here the variable's number + 1) and its initial image (null
// for zero).
struct __emutls_object {  // NOLINT(bugprone-reserved-identifier): the runtime's name
  uintptr_t size;
  uintptr_t align;
  uintptr_t place;
  const void* initial;
};

void* __emutls_get_address(__emutls_object* object);  // NOLINT(bugprone-reserved-identifier)

}  // extern "C"

namespace {

// What one image's runtime keeps per thread: libstdc++'s exception state
// (16 bytes) is the only emulated variable of our binaries.
constexpr size_t kMaxVariables = 16;
constexpr size_t kBlockBytes = 256;
constexpr size_t kMaxAlign = 16;
constexpr size_t kReserveBlocks = 8;

struct ThreadBlock {
  ThreadBlock* previous;
  ThreadBlock* next;
  uint32_t ready;    // bit i: variable i holds its initial value on this thread
  uint32_t reserve;  // 0 from the heap, otherwise the reserve slot + 1
  alignas(kMaxAlign) unsigned char data[kBlockBytes];
};

DWORD g_index = TLS_OUT_OF_INDEXES;
SRWLOCK g_lock = SRWLOCK_INIT;  // the layout below and the block list
size_t g_offsets[kMaxVariables];
size_t g_variables = 0;
size_t g_used = 0;
ThreadBlock* g_blocks = nullptr;
ThreadBlock g_reserve[kReserveBlocks];
bool g_reserveTaken[kReserveBlocks];
bool g_unloading = false;

ThreadBlock* NewBlock() {
  auto* block = static_cast<ThreadBlock*>(HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, sizeof(ThreadBlock)));
  AcquireSRWLockExclusive(&g_lock);
  if (block == nullptr) {
    for (size_t i = 0; i < kReserveBlocks; ++i) {
      if (g_reserveTaken[i]) continue;
      g_reserveTaken[i] = true;
      block = &g_reserve[i];
      std::memset(block, 0, sizeof *block);
      block->reserve = static_cast<uint32_t>(i + 1);
      break;
    }
  }
  if (block != nullptr) {
    block->next = g_blocks;
    if (g_blocks != nullptr) g_blocks->previous = block;
    g_blocks = block;
  }
  ReleaseSRWLockExclusive(&g_lock);
  return block;
}

// Unlinks and frees a block; the caller holds the lock.
void FreeBlockLocked(ThreadBlock* block) {
  if (block->previous != nullptr) block->previous->next = block->next;
  if (block->next != nullptr) block->next->previous = block->previous;
  if (g_blocks == block) g_blocks = block->next;
  if (block->reserve != 0) {
    g_reserveTaken[block->reserve - 1] = false;
  } else {
    HeapFree(GetProcessHeap(), 0, block);
  }
}

ThreadBlock* ThisThreadsBlock(bool create) {
  if (g_index == TLS_OUT_OF_INDEXES) return nullptr;
  auto* block = static_cast<ThreadBlock*>(TlsGetValue(g_index));
  if (block == nullptr && create) {
    block = NewBlock();
    if (block != nullptr) TlsSetValue(g_index, block);
  }
  return block;
}

void ReleaseThisThreadsBlock() {
  ThreadBlock* const block = ThisThreadsBlock(false);
  if (block == nullptr) return;
  TlsSetValue(g_index, nullptr);
  AcquireSRWLockExclusive(&g_lock);
  FreeBlockLocked(block);
  ReleaseSRWLockExclusive(&g_lock);
}

// Gives a variable its place in every thread's block, once.
size_t PlaceOf(__emutls_object* object) {
  uintptr_t place = __atomic_load_n(&object->place, __ATOMIC_ACQUIRE);
  if (place != 0) return place - 1;
  AcquireSRWLockExclusive(&g_lock);
  place = object->place;
  if (place == 0) {
    const size_t align = object->align == 0 ? 1 : object->align;
    const size_t offset = (g_used + align - 1) & ~(align - 1);
    // The layout is fixed by the binaries (one 16-byte variable); a new
    // variable that does not fit is a build fault, caught by the tests.
    if (align > kMaxAlign || g_variables == kMaxVariables || offset + object->size > kBlockBytes) std::abort();
    g_offsets[g_variables] = offset;
    g_used = offset + object->size;
    place = ++g_variables;
    __atomic_store_n(&object->place, place, __ATOMIC_RELEASE);
  }
  ReleaseSRWLockExclusive(&g_lock);
  return place - 1;
}

void NTAPI OnThreadEvent(PVOID, DWORD reason, PVOID reserved) {
  switch (reason) {
    case DLL_PROCESS_ATTACH:
      g_index = TlsAlloc();
      ThisThreadsBlock(true);
      break;
    case DLL_THREAD_ATTACH:
      ThisThreadsBlock(true);
      break;
    case DLL_THREAD_DETACH:
      ReleaseThisThreadsBlock();
      break;
    case DLL_PROCESS_DETACH:
      // The static destructors run after this (DllMain's detach) and may
      // still throw and catch: the blocks go after them (below). At process
      // exit they go with the process.
      g_unloading = reserved == nullptr;
      break;
    default:
      break;
  }
}

}  // namespace


#if defined(__GLIBCXX__) && defined(_GLIBCXX_HAS_GTHREADS)
// The exception path of GCC's runtime linked statically with the POSIX
// thread library (winpthreads), as our images are built (GCC 12's
// libstdc++, mingw-w64 10; read from the installed libstdc++.a and
// libwinpthread.a): when malloc fails, __cxa_allocate_exception takes the
// exception from libstdc++'s emergency pool, whose lock is a winpthreads
// mutex made with pthread_mutex_init(NULL). That stores the "static
// initialiser" (-1); the mutex's state is allocated (malloc, 24 bytes) at
// its first lock. Under exhaustion that allocation fails, the lock throws a
// lock error, whose allocation comes back to the pool: the recursion ends in
// a stack overflow. So the lock is taken once at start, while memory is
// there, and destroyed at unload after the pool is freed.
//
// The pool is a static object of libstdc++ without a name outside it:
// { lock, first free entry, arena, arena size }, and before its first use
// the arena is one free entry { size, next = null } of the whole arena.
// PrepareRuntime looks for exactly that in the image's .data; when it is
// not there (another runtime version, an arena that could not be
// allocated, a pool already used) nothing is done.
#define RVQ_PREPARE_EXCEPTION_POOL 1
#include <pthread.h>
#endif

#if defined(__GLIBCXX__)
namespace __gnu_cxx {
void __freeres() noexcept;  // NOLINT(bugprone-reserved-identifier): libstdc++'s own name for the hook
}
#endif

namespace {

#if defined(RVQ_PREPARE_EXCEPTION_POOL)
// The emergency arena of this libstdc++ build, in bytes.
constexpr uintptr_t kEmergencyArenaBytes = 0x12400;
constexpr uintptr_t kStaticMutexInitializer = static_cast<uintptr_t>(-1);

pthread_mutex_t* g_poolLock = nullptr;  // taken once at start, destroyed at unload

bool IsReadable(const void* address, size_t bytes) {
  MEMORY_BASIC_INFORMATION info{};
  if (VirtualQuery(address, &info, sizeof info) != sizeof info || info.State != MEM_COMMIT) return false;
  const DWORD readable = PAGE_READONLY | PAGE_READWRITE | PAGE_WRITECOPY | PAGE_EXECUTE_READ |
                         PAGE_EXECUTE_READWRITE | PAGE_EXECUTE_WRITECOPY;
  const auto end = static_cast<const unsigned char*>(info.BaseAddress) + info.RegionSize;
  return (info.Protect & readable) != 0 && (info.Protect & PAGE_GUARD) == 0 &&
         static_cast<const unsigned char*>(address) + bytes <= end;
}

pthread_mutex_t* FindUnusedPoolLock(HMODULE image) {
  auto* const base = reinterpret_cast<unsigned char*>(image);
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
      return reinterpret_cast<pthread_mutex_t*>(&words[w]);
    }
  }
  return nullptr;
}
#endif

}  // namespace

namespace Trevalk {

void PrepareRuntime(HMODULE image) {
#if defined(RVQ_PREPARE_EXCEPTION_POOL)
  if (image == nullptr || g_poolLock != nullptr) return;
  pthread_mutex_t* const lock = FindUnusedPoolLock(image);
  if (lock != nullptr && pthread_mutex_lock(lock) == 0) {
    pthread_mutex_unlock(lock);
    g_poolLock = lock;
  }
#else
  (void)image;
#endif
}

}  // namespace Trevalk


namespace {

// Gives back what the runtime keeps for the image when FreeLibrary unloads
// it (at process exit everything goes with the process). Destroyed after
// every other static object of the image (constructed first: the lowest
// priority number programs may use), so that an exception thrown and caught
// in another destructor still finds the pool, its lock and its thread's
// state.
class RuntimeRelease {
 public:
  RuntimeRelease() = default;
  RuntimeRelease(const RuntimeRelease&) = delete;
  RuntimeRelease& operator=(const RuntimeRelease&) = delete;
  ~RuntimeRelease() {
    if (!g_unloading) return;
#if defined(__GLIBCXX__)
    __gnu_cxx::__freeres();
#endif
#if defined(RVQ_PREPARE_EXCEPTION_POOL)
    if (g_poolLock != nullptr) pthread_mutex_destroy(g_poolLock);
    g_poolLock = nullptr;
#endif
    if (g_index == TLS_OUT_OF_INDEXES) return;
    TlsSetValue(g_index, nullptr);
    AcquireSRWLockExclusive(&g_lock);
    while (g_blocks != nullptr) FreeBlockLocked(g_blocks);
    ReleaseSRWLockExclusive(&g_lock);
    TlsFree(g_index);
    g_index = TLS_OUT_OF_INDEXES;
  }
};

RuntimeRelease g_runtimeRelease __attribute__((init_priority(101)));

}  // namespace

extern "C" {

void* __emutls_get_address(__emutls_object* object) {
  const size_t variable = PlaceOf(object);
  if (g_index == TLS_OUT_OF_INDEXES) {
    // TlsAlloc failed when the image loaded; one more try.
    AcquireSRWLockExclusive(&g_lock);
    if (g_index == TLS_OUT_OF_INDEXES) g_index = TlsAlloc();
    ReleaseSRWLockExclusive(&g_lock);
  }
  ThreadBlock* const block = ThisThreadsBlock(true);
  // No index, no heap and no reserve left: nothing can hold the thread's
  // state, which is where libgcc's version stops as well.
  if (block == nullptr) std::abort();
  unsigned char* const address = block->data + g_offsets[variable];
  const uint32_t bit = 1u << variable;
  if ((block->ready & bit) == 0) {
    if (object->initial != nullptr) {
      std::memcpy(address, object->initial, object->size);
    } else {
      std::memset(address, 0, object->size);
    }
    block->ready |= bit;
  }
  return address;
}

// Called by the loader for the image and each thread, before DllMain and
// the static constructors (.CRT$XL* sections sort between the runtime's
// start and end markers).
extern const PIMAGE_TLS_CALLBACK rvq_runtime_state_callback;
__attribute__((section(".CRT$XLB"), used)) const PIMAGE_TLS_CALLBACK rvq_runtime_state_callback = &OnThreadEvent;

}  // extern "C"

#else  // !__MINGW32__: the compiler's own runtime keeps no such state.

namespace Trevalk {
void PrepareRuntime(HMODULE) {}
}  // namespace Trevalk

#endif  // __MINGW32__
