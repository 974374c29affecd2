#include "format.h"

#include <cwchar>
#include <stdio.h>

namespace ETWLogging {

size_t FormatBounded(wchar_t* buffer, size_t capacity, const wchar_t* format, va_list args) {
  if (capacity == 0) return 0;
  const size_t room = capacity - 1;
  // The CRT returns -1 when the output was cut and then writes no terminator.
  const int n = _vsnwprintf(buffer, room, format, args);
  const size_t kept = (n < 0 || static_cast<size_t>(n) > room) ? room : static_cast<size_t>(n);
  buffer[kept] = L'\0';
  return kept;
}

bool FormatToString(std::wstring& out, size_t maxChars, const wchar_t* format, va_list args) {
  out.clear();
  va_list measure;
  va_copy(measure, args);
  const int length = _vscwprintf(format, measure);
  va_end(measure);
  if (length < 0) return false;
  size_t wanted = static_cast<size_t>(length);
  if (wanted > maxChars) wanted = maxChars;
  out.resize(wanted + 1);
  const size_t kept = FormatBounded(&out[0], wanted + 1, format, args);
  out.resize(kept);
  return true;
}

}  // namespace ETWLogging
