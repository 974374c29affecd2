#include "step_text.h"

#include <cstdarg>
#include <cstdio>

namespace checkrvq {

bool FormatWhole(wchar_t* dst, size_t capacity, const wchar_t* format, ...) {
  if (!dst || capacity == 0) return false;
  dst[0] = L'\0';
  if (!format) return false;
  va_list args;
  va_start(args, format);
  // The underscore formatter returns -1 when the text exceeds the count and
  // the count itself, without a terminator, when it fills the buffer
  // exactly: both mean "does not fit".
  const int written = _vsnwprintf(dst, capacity, format, args);
  va_end(args);
  if (written < 0 || static_cast<size_t>(written) >= capacity) {
    dst[0] = L'\0';
    return false;
  }
  dst[written] = L'\0';
  return true;
}

}  // namespace checkrvq
