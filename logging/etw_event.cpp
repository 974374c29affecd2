#include "etw_event.h"

#include <cstring>
#include <cwchar>
#include <new>
#include <stdio.h>

namespace ETWLogging {
namespace etw {

const GUID kEventClassGuid = {0xCD1DAAD0, 0x54CC, 0x11E0, {0xB8, 0xAF, 0x08, 0x00, 0x20, 0x0C, 0x9A, 0x66}};

InlineByteBuffer::~InlineByteBuffer() {
  if (data_ != inline_) delete[] data_;
}

void InlineByteBuffer::Grow(size_t needed) {
  size_t capacity = capacity_ + capacity_ / 2;
  if (capacity < needed) capacity = needed;
  uint8_t* bigger = new uint8_t[capacity];
  std::memcpy(bigger, data_, size_);
  if (data_ != inline_) delete[] data_;
  data_ = bigger;
  capacity_ = capacity;
}

void InlineByteBuffer::Append(const void* bytes, size_t count) {
  if (count == 0) return;
  if (count > capacity_ - size_) Grow(size_ + count);
  std::memcpy(data_ + size_, bytes, count);
  size_ += count;
}

namespace {

template <typename T>
void AppendValue(InlineByteBuffer& out, T value) {
  // Windows runs little-endian only, so the native bytes are the wire bytes.
  out.Append(&value, sizeof(value));
}

void AppendCounted(InlineByteBuffer& out, const wchar_t* text, size_t length) {
  const uint16_t count = static_cast<uint16_t>(text ? length : 0);
  AppendValue(out, count);
  if (count) out.Append(text, count * sizeof(wchar_t));
}

void AppendCounted(InlineByteBuffer& out, const wchar_t* text) {
  AppendCounted(out, text, text ? wcslen(text) : 0);
}

}  // namespace

void AppendContextBlock(InlineByteBuffer& out, const ContextFields& f) {
  AppendValue<uint32_t>(out, f.processId);
  AppendValue<uint32_t>(out, f.threadId);
  AppendCounted(out, f.processImageName, f.processImageNameLength);
  AppendCounted(out, f.sourceFile);
  AppendCounted(out, f.function);
  AppendValue<int32_t>(out, f.line);
  AppendCounted(out, f.moduleFileName, f.moduleFileNameLength);
  AppendCounted(out, f.moduleVersion, f.moduleVersionLength);
  AppendCounted(out, f.groupName, f.groupNameLength);
  AppendValue<uint64_t>(out, f.messageBytes);
}

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
