#include "etw_context_block.h"

#include <cstring>
#include <cwchar>
#include <new>

namespace ETWLogging {
namespace etw {

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
  out.AppendValue(value);
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

}  // namespace etw
}  // namespace ETWLogging
