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

void* CountedAllocate(std::size_t size) {
  if (g_counting.load(std::memory_order_relaxed) && g_allocations++ == g_failAt.load()) return nullptr;
  return std::malloc(size ? size : 1);
}
}  // namespace

void rvqtest::StartCountingAllocations(long failAt) {
  g_allocations = 0;
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
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }
void operator delete(void* p, const std::nothrow_t&) noexcept { std::free(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { std::free(p); }
