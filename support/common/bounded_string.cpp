#include "bounded_string.h"

#include <cwchar>

namespace Trevalk {

namespace {

template <typename Char>
size_t BoundedLengthOf(const Char* s, size_t maxChars) {
  if (!s) return 0;
  size_t n = 0;
  while (n < maxChars && s[n] != 0) ++n;
  return n;
}

}  // namespace

size_t BoundedLength(const wchar_t* s, size_t maxChars) { return BoundedLengthOf(s, maxChars); }
size_t BoundedLength(const char* s, size_t maxChars) { return BoundedLengthOf(s, maxChars); }

bool CopyString(wchar_t* dst, size_t capacity, const wchar_t* src) {
  if (!dst || !src || capacity == 0) return false;
  const size_t length = BoundedLength(src, capacity);
  if (length >= capacity) return false;
  wmemcpy(dst, src, length + 1);
  return true;
}

bool AppendString(wchar_t* dst, size_t capacity, const wchar_t* src) {
  if (!dst || !src || capacity == 0) return false;
  const size_t used = BoundedLength(dst, capacity);
  if (used >= capacity) return false;
  return CopyString(dst + used, capacity - used, src);
}

}  // namespace Trevalk
