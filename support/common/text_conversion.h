// Conversions between UTF-16 and a multi-byte code page (the thread's ANSI
// code page, CP_THREAD_ACP, or UTF-8, CP_UTF8).
//
// Both run the system conversion without flags: a character the code page
// lacks becomes its default character, never a failure. Where that must be
// refused, ask FitsThreadCodePage first.
#pragma once

#include <windows.h>

#include <cstddef>
#include <string>

namespace Trevalk {

// text[0..length) in `codePage` as UTF-16 in `out` (its contents replaced;
// length 0 gives the empty text). False, with `out` empty and the thread's
// last error set, when the conversion fails or when length exceeds what the
// system call takes (INT_MAX). Memory running out throws std::bad_alloc, as
// for any string: callers that must not throw catch it.
bool MultiByteToUtf16(UINT codePage, const char* text, size_t length, std::wstring& out);

// text[0..length) as `codePage` bytes in `out`, with the same contract.
bool Utf16ToMultiByte(UINT codePage, const wchar_t* text, size_t length, std::string& out);

// True when the zero-terminated `text` converts to the thread's ANSI code
// page without a replacement or best-fit character. A code page that cannot
// tell (UTF-8) is taken to convert everything.
bool FitsThreadCodePage(const wchar_t* text) noexcept;

}  // namespace Trevalk
