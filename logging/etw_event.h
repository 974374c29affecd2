// Pure pieces of the ETW backend: the 80-byte event (its context block is in
// etw_context_block.h), the severity to
// level mapping and the FileVersion text. No system calls.
#pragma once

#include <windows.h>
#include <evntrace.h>

#include "etw_context_block.h"

#include <cstddef>
#include <cstdint>
#include <string>

namespace ETWLogging {
namespace etw {

// One classic ETW event: the header followed by two MOF field descriptors.
struct TraceEventRecord {
  EVENT_TRACE_HEADER header;
  MOF_FIELD fields[2];
};
static_assert(sizeof(TraceEventRecord) == 80, "the event is 80 bytes");

// The class GUID every event carries, {CD1DAAD0-54CC-11E0-B8AF-0800200C9A66}.
extern const GUID kEventClassGuid;

// Level of an event: 3 for severity 6, otherwise the severity; anything
// outside 1..5 after mapping becomes 3.
UCHAR MapSeverityToLevel(DWORD severity);
UCHAR EventLevel(DWORD severity);

// Fills the header (size 80, type INFO, version 2, the class GUID, traced
// GUID with MOF pointers) and the two MOF fields.
void FillTraceEvent(TraceEventRecord& event, const GUID& classGuid, DWORD severity, const void* context,
                    ULONG contextBytes, const void* message, ULONG messageBytes);

// "a, b, c, d" (anything "%u,%u,%u,%u" reads) becomes "a.b.c.d"; other text
// is kept unchanged.
std::wstring NormalizeFileVersion(const std::wstring& text);

}  // namespace etw
}  // namespace ETWLogging
