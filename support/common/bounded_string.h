// Copies into fixed character buffers that refuse what does not fit.
//
// A path that does not fit its buffer is never cut and then used: these
// functions leave the destination as it was and answer false instead.
#pragma once

#include <cstddef>

namespace Trevalk {

// Copies src (with its terminator) into dst[0..capacity). False, with dst
// unchanged, when src needs more than capacity characters or an argument is
// null.
bool CopyString(wchar_t* dst, size_t capacity, const wchar_t* src);

// Appends src to the zero-terminated text in dst. False, with dst unchanged,
// when the result would not fit.
bool AppendString(wchar_t* dst, size_t capacity, const wchar_t* src);

// Length of s, looking at no more than maxChars characters; 0 for null.
size_t BoundedLength(const wchar_t* s, size_t maxChars);
size_t BoundedLength(const char* s, size_t maxChars);

}  // namespace Trevalk
