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

namespace {

bool IsBlank(wchar_t c) { return c == L' ' || (c >= L'\t' && c <= L'\r'); }

// One unsigned field as "%u" reads it: blanks, an optional sign, at least one
// digit; the value wraps modulo 2^32 and a minus negates it. Advances `at`.
bool ReadUnsigned(const wchar_t*& at, const wchar_t* end, unsigned& value) {
  while (at < end && IsBlank(*at)) ++at;
  bool negative = false;
  if (at < end && (*at == L'+' || *at == L'-')) negative = *at++ == L'-';
  const wchar_t* digits = at;
  unsigned result = 0;
  while (at < end && *at >= L'0' && *at <= L'9') result = result * 10u + static_cast<unsigned>(*at++ - L'0');
  if (at == digits) return false;
  value = negative ? 0u - result : result;
  return true;
}

}  // namespace

std::wstring NormalizeFileVersion(const std::wstring& text) {
  // Read by hand, within the text's bounds: the C runtime's scanner may
  // allocate, and this runs while the logger is being made.
  unsigned parts[4] = {};
  const wchar_t* at = text.c_str();
  const wchar_t* const end = at + text.size();
  for (int i = 0; i < 4; ++i) {
    if (i > 0 && (at == end || *at++ != L',')) return text;
    if (!ReadUnsigned(at, end, parts[i])) return text;
  }
  wchar_t buffer[64];
  _snwprintf(buffer, 63, L"%u.%u.%u.%u", parts[0], parts[1], parts[2], parts[3]);
  buffer[63] = L'\0';
  return buffer;
}

}  // namespace etw
}  // namespace ETWLogging
