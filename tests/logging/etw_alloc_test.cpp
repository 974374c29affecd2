// Heap allocations of the ETW backend's common path, counted.
//
// The seam: this executable replaces the global allocation functions
// (operator new / new[] in all their plain and nothrow forms), which C++
// allows any program to do at link time. Every heap buffer the backend
// makes on its event path comes from operator new (the UTF-8 overflow
// buffer and the context block's growth), so a count of zero around LogVEx
// means the backend allocated nothing; the cases that must allocate prove
// that the counter sees those buffers. The system's formatter and converter
// (_vsnwprintf, WideCharToMultiByte) write into the caller's buffer and are
// not counted here.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <new>
#include <string>

#include "etw_logging.h"
#include "trace_recorder.h"

// GCC pairs the replaced operator new[] with free() below and warns; both
// sides are ours and use malloc/free.
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

namespace {

class EtwAllocations : public ::testing::Test {
 protected:
  void SetUp() override {
    RegDeleteTreeW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Bryxen.logging");
    RegDeleteTreeW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Bryxen\\Logging\\Provider");
    ASSERT_EQ(logger.InitializeEx(nullptr, L"DetectRVQdll", GetModuleHandleW(nullptr), nullptr, nullptr), 0u);
    ASSERT_EQ(logger.Prepare(), 0u);
    recorder.keepEvents = false;  // the recorder must not allocate either
  }

  // Allocations made by `count` LogEx calls with this message and function.
  long Count(const std::wstring& message, const wchar_t* function = L"PreInstall", int count = 1) {
    const int before = recorder.traceCalls;
    g_allocations = 0;
    g_counting = true;
    for (int i = 0; i < count; ++i) {
      logger.LogEx(4, L"detection.cpp", function, 120, L"%s (%d)", message.c_str(), i);
    }
    g_counting = false;
    EXPECT_EQ(recorder.traceCalls - before, count);
    return g_allocations.load();
  }

  rvqtest::TraceRecorder recorder;
  ETWLogging::CETWLogging logger{recorder};
};

TEST_F(EtwAllocations, CommonMessagesAllocateNothing) {
  EXPECT_EQ(Count(L"bxdndb.dat moved to C:\\ProgramData\\Bryxen", L"PreInstall", 1000), 0);
  EXPECT_EQ(Count(L"Gr\u00fc\u00dfe aus \u00d6sterreich", L"PreInstall", 100), 0);
  // The UTF-8 form shares the message buffer while 3 x characters <= 4160:
  // with the " (0)" suffix, 1382 + 4 = 1386 characters still fit.
  EXPECT_EQ(Count(std::wstring(1382, L'a')), 0);
}

TEST_F(EtwAllocations, LongMessagesAndLongNamesUseTheHeap) {
  EXPECT_EQ(Count(std::wstring(1383, L'a')), 1);  // 1387 characters: UTF-8 to the heap
  EXPECT_EQ(Count(std::wstring(5000, L'a')), 1);  // cut: the tail is empty
  const std::wstring longName(300, L'f');
  EXPECT_GT(Count(L"short", longName.c_str()), 0);  // the context block outgrows 256 bytes
}

}  // namespace
