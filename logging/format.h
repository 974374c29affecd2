// Bounded wide formatting with the Microsoft conventions ("%s" takes a
// UTF-16 string, "%d" a 32-bit integer).
#pragma once

#include <cstdarg>
#include <cstddef>
#include <string>

namespace ETWLogging {

// FormatTruncating's answer when the formatter failed for a reason other than
// a full buffer (a null format, an argument it cannot format).
constexpr size_t kFormatFailed = static_cast<size_t>(-1);

// Formats into buffer[0..capacity). At most capacity - 1 characters are
// written and the result is always zero-terminated (capacity must be at least
// 1). Longer output is cut. Returns the number of characters kept, or
// kFormatFailed with an empty buffer when the formatter failed: nothing of a
// failed output is kept, so no stale buffer contents can pass for a message.
size_t FormatTruncating(wchar_t* buffer, size_t capacity, const wchar_t* format, va_list args);

// Measures the formatted length, then formats into `out`, keeping at most
// maxChars characters. Returns false, leaving `out` empty, when the formatter
// rejects the format.
bool FormatToString(std::wstring& out, size_t maxChars, const wchar_t* format, va_list args);

}  // namespace ETWLogging
