// Pure pieces of the ETW backend: the context block that travels as the
// first MOF field of every event, the 80-byte event itself, the severity to
// level mapping and the FileVersion text. No system calls.
#pragma once

#include <windows.h>
#include <evntrace.h>

#include <cstddef>
#include <cstdint>
#include <string>

namespace ETWLogging {
namespace etw {

// A byte buffer with 256 bytes of inline storage: the common event needs no
// heap. Growth moves the contents to the heap with one and a half times the
// old capacity, or the needed size if that is larger. Growth failure throws
// std::bad_alloc (no event is sent then).
class InlineByteBuffer {
 public:
  static constexpr size_t kInlineBytes = 256;

  InlineByteBuffer() = default;
  ~InlineByteBuffer();
  InlineByteBuffer(const InlineByteBuffer&) = delete;
  InlineByteBuffer& operator=(const InlineByteBuffer&) = delete;

  void Append(const void* bytes, size_t count);
  const uint8_t* data() const { return data_; }
  size_t size() const { return size_; }
  size_t capacity() const { return capacity_; }
  bool OnHeap() const { return data_ != inline_; }

 private:
  void Grow(size_t needed);

  uint8_t inline_[kInlineBytes];
  uint8_t* data_ = inline_;
  size_t size_ = 0;
  size_t capacity_ = kInlineBytes;
};

// The fields of the context block. Null strings are sent as empty counted
// strings.
struct ContextFields {
  DWORD processId = 0;
  DWORD threadId = 0;
  const wchar_t* processImageName = nullptr;
  size_t processImageNameLength = 0;
  const wchar_t* sourceFile = nullptr;
  const wchar_t* function = nullptr;
  int line = 0;
  const wchar_t* moduleFileName = nullptr;
  size_t moduleFileNameLength = 0;
  const wchar_t* moduleVersion = nullptr;
  size_t moduleVersionLength = 0;
  const wchar_t* groupName = nullptr;
  size_t groupNameLength = 0;
  uint64_t messageBytes = 0;  // length of the UTF-8 message
};

// Appends the context block: process id, thread id, process image name,
// source file, function, line, module file name, module version, group name
// (each name a counted string: 16-bit count, that many UTF-16LE units, no
// terminator; the count is the length truncated to 16 bits) and the 64-bit
// message length. Little-endian, no padding.
void AppendContextBlock(InlineByteBuffer& out, const ContextFields& fields);

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
