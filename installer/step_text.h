// Bounded text helpers shared by the installer steps.
#pragma once

#include <cstddef>

namespace checkrvq {

// Formats into dst[0..capacity) with the CRT's wide formatter ("%s" takes a
// UTF-16 string). False when the result (with its terminator) does not fit
// or the format fails; dst is then the empty string, never a cut text.
bool FormatWhole(wchar_t* dst, size_t capacity, const wchar_t* format, ...);

}  // namespace checkrvq
