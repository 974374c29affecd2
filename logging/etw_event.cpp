#include "etw_event.h"

#include <cstring>
#include <cwchar>
#include <new>
#include <stdio.h>

namespace ETWLogging {
namespace etw {

const GUID kEventClassGuid = {0xCD1DAAD0, 0x54CC, 0x11E0, {0xB8, 0xAF, 0x08, 0x00, 0x20, 0x0C, 0x9A, 0x66}};

UCHAR MapSeverityToLevel(DWORD severity) { return static_cast<UCHAR>(severity == 6 ? 3 : severity); }

UCHAR EventLevel(DWORD severity) {
  const DWORD level = severity == 6 ? 3 : severity;
  return static_cast<UCHAR>(level >= 1 && level <= 5 ? level : 3);
}

void FillTraceEvent(TraceEventRecord& event, const GUID& classGuid, DWORD severity, const void* context,
                    ULONG contextBytes, const void* message, ULONG messageBytes) {
  std::memset(&event, 0, sizeof(event));
  event.header.Size = static_cast<USHORT>(sizeof(TraceEventRecord));
  // The event type on the wire is 1, which the SDK headers name
  // EVENT_TRACE_TYPE_START (their EVENT_TRACE_TYPE_INFO is 0); decoders of
  // this provider's events expect 1.
  event.header.Class.Type = 1;
  event.header.Class.Level = EventLevel(severity);
  event.header.Class.Version = 2;
  event.header.Guid = classGuid;
  event.header.Flags = WNODE_FLAG_TRACED_GUID | WNODE_FLAG_USE_MOF_PTR;
  event.fields[0].DataPtr = reinterpret_cast<ULONG64>(context);
  event.fields[0].Length = contextBytes;
  event.fields[1].DataPtr = reinterpret_cast<ULONG64>(message);
  event.fields[1].Length = messageBytes;
}

std::wstring NormalizeFileVersion(const std::wstring& text) {
  unsigned a = 0, b = 0, c = 0, d = 0;
  if (swscanf(text.c_str(), L"%u,%u,%u,%u", &a, &b, &c, &d) != 4) return text;
  wchar_t buffer[64];
  _snwprintf(buffer, 63, L"%u.%u.%u.%u", a, b, c, d);
  buffer[63] = L'\0';
  return buffer;
}

}  // namespace etw
}  // namespace ETWLogging
