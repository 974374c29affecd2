// The context block that travels as the first MOF field of every ETW event,
// and the inline-first byte buffer it is built in. Plain data, no system
// calls and no <windows.h>, so it also builds natively.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

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
  // One fixed-size value: inline, so that the copy is a plain store rather
  // than a call of the C runtime's memcpy (a context block has eleven).
  template <typename T>
  void AppendValue(const T& value) {
    if (sizeof(T) > capacity_ - size_) Grow(size_ + sizeof(T));
    std::memcpy(data_ + size_, &value, sizeof(T));
    size_ += sizeof(T);
  }
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
  uint32_t processId = 0;
  uint32_t threadId = 0;
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
// (each name a counted string: 16-bit count, that many wchar_t units, which
// are UTF-16LE on Windows, no terminator; the count is the length truncated
// to 16 bits) and the 64-bit message length. Little-endian, no padding.
void AppendContextBlock(InlineByteBuffer& out, const ContextFields& fields);

}  // namespace etw
}  // namespace ETWLogging
