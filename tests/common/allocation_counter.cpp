#include "allocation_counter.h"

#include <atomic>
#include <cstdlib>
#include <new>

// GCC pairs the replaced operator new[] with free() below and warns; both
// sides are ours and use malloc/free.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
#endif

namespace {
std::atomic<bool> g_counting{false};
std::atomic<long> g_allocations{0};
std::atomic<long> g_failAt{-1};
std::atomic<long> g_live{0};

// Every block carries a header that says whether it was made while
// counting; the header keeps the alignment malloc gives.
constexpr std::size_t kHeader = 16;
constexpr unsigned kCounted = 0xC0C0u;

void* CountedAllocate(std::size_t size) {
  const bool counting = g_counting.load(std::memory_order_relaxed);
  if (counting && g_allocations++ == g_failAt.load()) return nullptr;
  auto* block = static_cast<unsigned char*>(std::malloc(kHeader + (size ? size : 1)));
  if (!block) return nullptr;
  *reinterpret_cast<unsigned*>(block) = counting ? kCounted : 0u;
  if (counting) ++g_live;
  return block + kHeader;
}

void CountedFree(void* p) {
  if (!p) return;
  unsigned char* block = static_cast<unsigned char*>(p) - kHeader;
  if (*reinterpret_cast<unsigned*>(block) == kCounted) --g_live;
  std::free(block);
}
}  // namespace

long rvqtest::LiveCountedAllocations() { return g_live.load(); }

void rvqtest::StartCountingAllocations(long failAt) {
  g_allocations = 0;
  g_live = 0;
  g_failAt = failAt;
  g_counting = true;
}

long rvqtest::StopCountingAllocations() {
  g_counting = false;
  return g_allocations.load();
}

void* operator new(std::size_t size) {
  if (void* p = CountedAllocate(size)) return p;
  throw std::bad_alloc();
}
void* operator new[](std::size_t size) {
  if (void* p = CountedAllocate(size)) return p;
  throw std::bad_alloc();
}
void* operator new(std::size_t size, const std::nothrow_t&) noexcept { return CountedAllocate(size); }
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept { return CountedAllocate(size); }
void operator delete(void* p) noexcept { CountedFree(p); }
void operator delete[](void* p) noexcept { CountedFree(p); }
void operator delete(void* p, std::size_t) noexcept { CountedFree(p); }
void operator delete[](void* p, std::size_t) noexcept { CountedFree(p); }
void operator delete(void* p, const std::nothrow_t&) noexcept { CountedFree(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { CountedFree(p); }
