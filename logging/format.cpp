#include "format.h"

#include <cwchar>
#include <stdio.h>

namespace ETWLogging {

size_t FormatTruncating(wchar_t* buffer, size_t capacity, const wchar_t* format, va_list args) {
  if (capacity == 0) return kFormatFailed;
  const size_t room = capacity - 1;
  if (room == 0) {
    // Only the empty string fits; nothing tells a cut from a failure here.
    buffer[0] = L'\0';
    return format ? 0 : kFormatFailed;
  }
  // The CRT returns -1 both when the output was cut (it then fills all room
  // characters and writes no terminator) and when it fails on the format or
  // an argument (it may then have written a part, or nothing, and what
  // follows is whatever the buffer held). A zero in the last place tells
  // them apart: a cut output overwrites it.
  buffer[room - 1] = L'\0';
  const int n = format ? _vsnwprintf(buffer, room, format, args) : -1;
  if (n >= 0 && static_cast<size_t>(n) <= room) {
    buffer[n] = L'\0';
    return static_cast<size_t>(n);
  }
  if (buffer[room - 1] != L'\0') {
    buffer[room] = L'\0';
    return room;
  }
  buffer[0] = L'\0';
  return kFormatFailed;
}

bool FormatToString(std::wstring& out, size_t maxChars, const wchar_t* format, va_list args) {
  out.clear();
  if (!format) return false;
  va_list measure;
  va_copy(measure, args);
  const int length = _vscwprintf(format, measure);
  va_end(measure);
  if (length < 0) return false;
  size_t wanted = static_cast<size_t>(length);
  if (wanted > maxChars) wanted = maxChars;
  out.resize(wanted + 1);
  const size_t kept = FormatTruncating(&out[0], wanted + 1, format, args);
  if (kept == kFormatFailed) {
    out.clear();
    return false;
  }
  out.resize(kept);
  return true;
}

}  // namespace ETWLogging
