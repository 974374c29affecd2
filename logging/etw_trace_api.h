// The six classic-provider ETW functions the backend calls, behind a small
// interface: the default forwards to advapi32; tests install a recorder (the
// ETW functions are stubs under Wine).
#pragma once

#include <windows.h>
#include <evntrace.h>

#include "common/unique_handle.h"

namespace ETWLogging {

// Never deleted through this interface (no virtual destructor), so the
// system forwarder can be a constant-initialised object that outlives every
// logger destroyed during unload.
class TraceApi {
 public:
  virtual ULONG RegisterTraceGuidsW(WMIDPREQUEST callback, void* context, const GUID* controlGuid,
                                    ULONG guidCount, TRACE_GUID_REGISTRATION* registrations,
                                    const wchar_t* mofImagePath, const wchar_t* mofResourceName,
                                    TRACEHANDLE* registrationHandle) = 0;
  virtual ULONG UnregisterTraceGuids(TRACEHANDLE registrationHandle) = 0;
  virtual ULONG TraceEvent(TRACEHANDLE sessionHandle, EVENT_TRACE_HEADER* header) = 0;
  virtual TRACEHANDLE GetTraceLoggerHandle(void* notificationBuffer) = 0;
  virtual UCHAR GetTraceEnableLevel(TRACEHANDLE sessionHandle) = 0;
  virtual ULONG GetTraceEnableFlags(TRACEHANDLE sessionHandle) = 0;

 protected:
  ~TraceApi() = default;
};

// The process-wide forwarder to advapi32 (delay-loaded: advapi32 is not
// loaded before the first call).
TraceApi& SystemTraceApi();

// A provider registration together with the TraceApi that made it, so that
// its owner unregisters it through that same API.
struct TraceRegistration {
  TraceApi* api = nullptr;
  TRACEHANDLE handle = 0;
};

namespace internal {
struct TraceRegistrationTraits {
  using pointer = TraceRegistration;
  static pointer Invalid() noexcept { return {}; }
  static bool IsValid(const pointer& r) noexcept { return r.api != nullptr && r.handle != 0; }
  static void Close(const pointer& r) noexcept { r.api->UnregisterTraceGuids(r.handle); }
};
}  // namespace internal

using UniqueTraceRegistration = Trevalk::UniqueHandle<internal::TraceRegistrationTraits>;

}  // namespace ETWLogging
