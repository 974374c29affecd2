// Thread-local storage for GCC's C++ runtime, in place of libgcc's
// emulated TLS.
//
// mingw-w64's libstdc++ keeps each thread's exception state (the caught
// exceptions, the count of uncaught ones) in an emulated thread-local
// variable, which the first exception on a thread allocates through
// __emutls_get_address. libgcc's version of that function takes a
// winpthreads once-flag (allocated at first use), a winpthreads key (and
// with it winpthreads' record of the thread: memory and a duplicated
// thread handle) and two blocks from malloc. When memory has run out,
// the first exception thrown on a thread therefore writes through a null
// pointer inside winpthreads or ends in abort(): a bad_alloc can never
// reach the handler written for it. And once a DLL linking it unloads,
// the key's TLS index, the records and blocks of every thread stay behind.
//
// This definition takes libgcc's place in every image that links it (an
// object of the image wins over the runtime library's member): one TLS
// index made when the image loads, and for each thread one block, made when
// the thread starts or the image loads (a TLS callback) and released when
// the thread ends or the image unloads. A thread that existed before the
// image loaded gets its block at first use; when the heap has none, one of
// a small reserve in the image is taken. Kernel32 and the C runtime's
// memory functions only.
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

// Destroyed after every other static object of the image (constructed
// first: the lowest priority number programs may use).
class BlocksRelease {
 public:
  BlocksRelease() = default;
  BlocksRelease(const BlocksRelease&) = delete;
  BlocksRelease& operator=(const BlocksRelease&) = delete;
  ~BlocksRelease() {
    if (!g_unloading || g_index == TLS_OUT_OF_INDEXES) return;
    TlsSetValue(g_index, nullptr);
    AcquireSRWLockExclusive(&g_lock);
    while (g_blocks != nullptr) FreeBlockLocked(g_blocks);
    ReleaseSRWLockExclusive(&g_lock);
    TlsFree(g_index);
    g_index = TLS_OUT_OF_INDEXES;
  }
};

BlocksRelease g_blocksRelease __attribute__((init_priority(101)));

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
extern const PIMAGE_TLS_CALLBACK rvq_thread_locals_callback;
__attribute__((section(".CRT$XLB"), used)) const PIMAGE_TLS_CALLBACK rvq_thread_locals_callback = &OnThreadEvent;

}  // extern "C"

#endif  // __MINGW32__
