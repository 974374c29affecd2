// Replaced global allocation functions (allowed to any program at link
// time) that count while counting is on: the benchmark's check that a path
// allocates nothing.
#include <atomic>
#include <cstdlib>
#include <new>

#include "figures.h"

#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
#endif

namespace {
std::atomic<bool> g_counting{false};
std::atomic<long> g_allocations{0};

void* CountedAllocate(std::size_t size) {
  if (g_counting.load(std::memory_order_relaxed)) ++g_allocations;
  return std::malloc(size ? size : 1);
}
}  // namespace

void rvqbench::StartCountingAllocations() {
  g_allocations = 0;
  g_counting = true;
}

long rvqbench::StopCountingAllocations() {
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
