// Bounded wide formatting with the Microsoft conventions ("%s" takes a
// UTF-16 string, "%d" a 32-bit integer).
#pragma once

#include <cstdarg>
#include <cstddef>
#include <string>

namespace ETWLogging {

// Formats into buffer[0..capacity). At most capacity - 1 characters are
// written and the result is always zero-terminated (capacity must be at least
// 1). Longer output is cut. Returns the number of characters kept.
size_t FormatBounded(wchar_t* buffer, size_t capacity, const wchar_t* format, va_list args);

// Measures the formatted length, then formats into `out`, keeping at most
// maxChars characters. Returns false, leaving `out` empty, when the formatter
// rejects the format.
bool FormatToString(std::wstring& out, size_t maxChars, const wchar_t* format, va_list args);

}  // namespace ETWLogging
