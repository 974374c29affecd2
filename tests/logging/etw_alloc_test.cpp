// Heap allocations of the ETW backend's common path, counted.
//
// The seam: this executable links the allocation counter, which replaces
// the global allocation functions (tests/common/allocation_counter.h). Every heap buffer the backend
// makes on its event path comes from operator new (the UTF-8 overflow
// buffer and the context block's growth), so a count of zero around LogVEx
// means the backend allocated nothing; the cases that must allocate prove
// that the counter sees those buffers. The system's formatter and converter
// (_vsnwprintf, WideCharToMultiByte) write into the caller's buffer and are
// not counted here.
#include <gtest/gtest.h>

#include <string>

#include "allocation_counter.h"
#include "etw_logging.h"
#include "trace_recorder.h"


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
    rvqtest::StartCountingAllocations();
    for (int i = 0; i < count; ++i) {
      logger.LogEx(4, L"detection.cpp", function, 120, L"%s (%d)", message.c_str(), i);
    }
    const long allocations = rvqtest::StopCountingAllocations();
    EXPECT_EQ(recorder.traceCalls - before, count);
    return allocations;
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
