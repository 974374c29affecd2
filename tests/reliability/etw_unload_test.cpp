// The ETW registration of a DLL's logger is withdrawn while the DLL is still
// loaded: once it is unmapped, the system must not hold a control callback
// into it. Shown with a DLL that links the product's logging as
// checkRVQ.dll does, with the six ETW functions recorded in this process.
#include <gtest/gtest.h>

#include <string>

#include "test_support.h"
#include "trace_recorder.h"

namespace {

// True when `address` lies in a loaded module.
bool InLoadedModule(const void* address) {
  HMODULE module = nullptr;
  return GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                            static_cast<LPCWSTR>(address), &module) != FALSE;
}

// The recorder, noting at each unregistration whether the registered
// callback's module was still loaded.
class UnloadWatch final : public ETWLogging::TraceApi {
 public:
  rvqtest::TraceRecorder recorder;
  std::vector<bool> callbackLoadedAtUnregister;

  ULONG RegisterTraceGuidsW(WMIDPREQUEST callback, void* context, const GUID* control, ULONG count,
                            TRACE_GUID_REGISTRATION* registrations, const wchar_t* path, const wchar_t* resource,
                            TRACEHANDLE* handle) override {
    return recorder.RegisterTraceGuidsW(callback, context, control, count, registrations, path, resource, handle);
  }
  ULONG UnregisterTraceGuids(TRACEHANDLE handle) override {
    callbackLoadedAtUnregister.push_back(InLoadedModule(reinterpret_cast<const void*>(recorder.callback)));
    return recorder.UnregisterTraceGuids(handle);
  }
  ULONG TraceEvent(TRACEHANDLE session, EVENT_TRACE_HEADER* header) override {
    return recorder.TraceEvent(session, header);
  }
  TRACEHANDLE GetTraceLoggerHandle(void* buffer) override { return recorder.GetTraceLoggerHandle(buffer); }
  UCHAR GetTraceEnableLevel(TRACEHANDLE session) override { return recorder.GetTraceEnableLevel(session); }
  ULONG GetTraceEnableFlags(TRACEHANDLE session) override { return recorder.GetTraceEnableFlags(session); }
};

using ProbeLogFn = bool (*)(ETWLogging::TraceApi*);

TEST(EtwUnload, RegistrationIsGoneBeforeTheDllIs) {
  for (int cycle = 0; cycle < 3; ++cycle) {
    UnloadWatch watch;
    HMODULE probe = LoadLibraryW(rvqtest::BinPath(L"etw_unload_probe.dll").c_str());
    ASSERT_NE(probe, nullptr) << GetLastError();
    const auto probeLog = reinterpret_cast<ProbeLogFn>(reinterpret_cast<void*>(GetProcAddress(probe, "ProbeLog")));
    ASSERT_NE(probeLog, nullptr);
    ASSERT_TRUE(probeLog(&watch));
    ASSERT_EQ(watch.recorder.registerCalls, 1) << cycle;
    ASSERT_TRUE(InLoadedModule(reinterpret_cast<const void*>(watch.recorder.callback)));
    EXPECT_TRUE(watch.recorder.unregistered.empty());

    ASSERT_TRUE(FreeLibrary(probe));
    EXPECT_FALSE(InLoadedModule(reinterpret_cast<const void*>(watch.recorder.callback))) << "still loaded";
    ASSERT_EQ(watch.recorder.unregistered.size(), 1u) << cycle;
    EXPECT_EQ(watch.recorder.unregistered[0], 0x5000u);
    EXPECT_TRUE(watch.callbackLoadedAtUnregister[0]) << cycle;
  }
}

}  // namespace
