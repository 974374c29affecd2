// A stand-in for the six ETW functions: it keeps the bytes of every event,
// answers registration, and plays a trace session by calling the registered
// control callback with a notification buffer of its own. Wine only stubs
// ETW, so this is how the backend's side of the protocol is observed.
#pragma once

#include <windows.h>
#include <evntrace.h>
#include <wmistr.h>

#include <cstdint>
#include <cstring>
#include <map>
#include <vector>

#include "etw_trace_api.h"

namespace rvqtest {

struct CapturedEvent {
  TRACEHANDLE session = 0;
  std::vector<uint8_t> event;    // the 80 bytes passed to TraceEvent
  std::vector<uint8_t> context;  // what MOF field 1 points to
  std::vector<uint8_t> message;  // what MOF field 2 points to
};

// Calls itself until the thread's stack runs out: a real stack overflow.
// Through a volatile pointer, with each frame's bytes read after the call,
// so that the compiler can neither turn it into a loop nor drop the frames.
inline TRACEHANDLE RecurseWithoutEnd(unsigned depth) {
  volatile unsigned char frame[512];
  frame[depth % sizeof frame] = static_cast<unsigned char>(depth);
  TRACEHANDLE (*volatile self)(unsigned) = &RecurseWithoutEnd;
  return self(depth + 1) + frame[0];
}

class TraceRecorder final : public ETWLogging::TraceApi {
 public:
  // Registration.
  ULONG registerResult = ERROR_SUCCESS;
  int registerCalls = 0;
  std::vector<TRACEHANDLE> unregistered;
  WMIDPREQUEST callback = nullptr;
  void* callbackContext = nullptr;
  GUID controlGuid = {};
  GUID classGuid = {};
  TRACEHANDLE nextRegistration = 0x5000;

  // Events. With keepEvents false nothing is stored (and nothing allocated).
  bool keepEvents = true;
  int traceCalls = 0;
  std::vector<CapturedEvent> events;

  // Sessions: level and flags each session handle enables with.
  std::map<TRACEHANDLE, UCHAR> levels;
  std::map<TRACEHANDLE, ULONG> flags;

  // When set, GetTraceLoggerHandle reads from an unmapped address: an access
  // violation inside the notification handler, as a damaged buffer from the
  // system would cause.
  bool faultInLoggerHandle = false;
  // When set, GetTraceLoggerHandle recurses until the stack overflows.
  bool overflowInLoggerHandle = false;

  ULONG RegisterTraceGuidsW(WMIDPREQUEST cb, void* context, const GUID* control, ULONG count,
                            TRACE_GUID_REGISTRATION* registrations, const wchar_t*, const wchar_t*,
                            TRACEHANDLE* handle) override {
    ++registerCalls;
    callback = cb;
    callbackContext = context;
    controlGuid = *control;
    if (count >= 1 && registrations && registrations[0].Guid) classGuid = *registrations[0].Guid;
    *handle = registerResult == ERROR_SUCCESS ? nextRegistration++ : 0;
    return registerResult;
  }
  ULONG UnregisterTraceGuids(TRACEHANDLE handle) override {
    unregistered.push_back(handle);
    return ERROR_SUCCESS;
  }
  ULONG TraceEvent(TRACEHANDLE session, EVENT_TRACE_HEADER* header) override {
    ++traceCalls;
    if (keepEvents) {
      CapturedEvent e;
      e.session = session;
      const auto* bytes = reinterpret_cast<const uint8_t*>(header);
      e.event.assign(bytes, bytes + 80);
      const auto* fields = reinterpret_cast<const MOF_FIELD*>(header + 1);
      const auto* ctx = reinterpret_cast<const uint8_t*>(fields[0].DataPtr);
      const auto* msg = reinterpret_cast<const uint8_t*>(fields[1].DataPtr);
      if (ctx) e.context.assign(ctx, ctx + fields[0].Length);
      if (msg) e.message.assign(msg, msg + fields[1].Length);
      events.push_back(std::move(e));
    }
    // As the system answers: no session, no delivery.
    return session == 0 ? ERROR_INVALID_HANDLE : ERROR_SUCCESS;
  }
  TRACEHANDLE GetTraceLoggerHandle(void* buffer) override {
    if (overflowInLoggerHandle) return RecurseWithoutEnd(0);
    if (faultInLoggerHandle) {
      // Volatile, so the compiler cannot see (and replace) the bad read.
      const WNODE_HEADER* volatile unmapped = reinterpret_cast<const WNODE_HEADER*>(0x10);
      return unmapped->HistoricalContext;
    }
    if (!buffer) {
      SetLastError(ERROR_INVALID_PARAMETER);
      return static_cast<TRACEHANDLE>(-1);
    }
    return static_cast<const WNODE_HEADER*>(buffer)->HistoricalContext;
  }
  UCHAR GetTraceEnableLevel(TRACEHANDLE session) override {
    auto it = levels.find(session);
    if (it == levels.end() || it->second == 0) SetLastError(ERROR_INVALID_HANDLE);
    return it == levels.end() ? 0 : it->second;
  }
  ULONG GetTraceEnableFlags(TRACEHANDLE session) override {
    auto it = flags.find(session);
    return it == flags.end() ? 0 : it->second;
  }

  // A session enables or disables the provider: the control callback is
  // called as the system would, and its result returned.
  ULONG Enable(TRACEHANDLE session, UCHAR level, ULONG enableFlags = 0) {
    levels[session] = level;
    flags[session] = enableFlags;
    return Notify(WMI_ENABLE_EVENTS, session);
  }
  ULONG Disable(TRACEHANDLE session) { return Notify(WMI_DISABLE_EVENTS, session); }
  ULONG Notify(WMIDPREQUESTCODE code, TRACEHANDLE session) {
    WNODE_HEADER node;
    std::memset(&node, 0, sizeof(node));
    node.BufferSize = sizeof(node);
    node.HistoricalContext = session;
    ULONG size = sizeof(node);
    return callback(code, callbackContext, &size, &node);
  }
};

}  // namespace rvqtest
