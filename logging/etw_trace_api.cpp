#include "etw_trace_api.h"

namespace ETWLogging {
namespace {

class AdvapiTraceApi final : public TraceApi {
 public:
  constexpr AdvapiTraceApi() = default;
  ULONG RegisterTraceGuidsW(WMIDPREQUEST callback, void* context, const GUID* controlGuid, ULONG guidCount,
                            TRACE_GUID_REGISTRATION* registrations, const wchar_t* mofImagePath,
                            const wchar_t* mofResourceName, TRACEHANDLE* registrationHandle) override {
    return ::RegisterTraceGuidsW(callback, context, controlGuid, guidCount, registrations, mofImagePath,
                                 mofResourceName, registrationHandle);
  }
  ULONG UnregisterTraceGuids(TRACEHANDLE registrationHandle) override {
    return ::UnregisterTraceGuids(registrationHandle);
  }
  ULONG TraceEvent(TRACEHANDLE sessionHandle, EVENT_TRACE_HEADER* header) override {
    return ::TraceEvent(sessionHandle, header);
  }
  TRACEHANDLE GetTraceLoggerHandle(void* notificationBuffer) override {
    return ::GetTraceLoggerHandle(notificationBuffer);
  }
  UCHAR GetTraceEnableLevel(TRACEHANDLE sessionHandle) override { return ::GetTraceEnableLevel(sessionHandle); }
  ULONG GetTraceEnableFlags(TRACEHANDLE sessionHandle) override { return ::GetTraceEnableFlags(sessionHandle); }
};

AdvapiTraceApi g_systemTraceApi;

}  // namespace

TraceApi& SystemTraceApi() { return g_systemTraceApi; }

}  // namespace ETWLogging
